#include "service/lookup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "test_song.h"
#include "text/text.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

class LookupTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto made = MakeTempDir("talvo-lookup");
    ASSERT_TRUE(made.has_value());
    dir_ = *made;
    std::string error;
    store_ = Store::Open((dir_ / "index.db").string(), error);
    ASSERT_NE(store_, nullptr) << error;
  }
  void TearDown() override {
    store_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
  std::unique_ptr<Store> store_;
};

class LookupLadderTest : public LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    store_->PutFile("/night.lrc", {1, 1},
                    {MakeSong("Night Song", "Some Band", "The night is long")});
    store_->PutFile("/day.lrc", {1, 1}, {MakeSong("Day Song", "Some Band", "The day is short")});
    store_->PutFile("/march.lrc", {1, 1}, {MakeSong("March", "Brass Band", "Left, right")});
    store_->PutFile("/rails.lrc", {1, 1},
                    {MakeSong("Iron Road", "Rail Crew", "the train runs on through")});
  }
};

std::vector<std::string> Titles(const std::vector<SongRow>& rows) {
  std::vector<std::string> titles;
  titles.reserve(rows.size());
  for (const SongRow& row : rows) titles.push_back(row.song.title);
  return titles;
}

TEST_F(LookupLadderTest, AMissSuggestsSongsByTheirNames) {
  struct Case {
    const char* title;
    const char* artist;
    const char* best;  // empty: nothing shown
    std::vector<std::string> candidates;
  };
  const Case cases[] = {
      // "night" is in a title, "train" only in a lyric
      {"Night Train", "Nobody", "", {"Night Song"}},
      // a known artist: its own songs, not every song sharing a word of its name
      {"Morning", "Some Band", "", {"Day Song", "Night Song"}},
      {"Nigth Song", "Some Band", "Night Song", {"Day Song"}},
      // an unknown artist's words are searched in the names like the title's
      {"Evening", "Other Band", "", {"Day Song", "March", "Night Song"}},
      {"Runs Away", "Nobody", "", {}},
      // all the words in one song's lyrics still find it, as a caption of lyrics does
      {"train runs", "", "Iron Road", {}},
  };
  for (const Case& c : cases) {
    const auto result = FindSong(*store_, {.title = c.title, .artist = c.artist});
    EXPECT_EQ(result.best ? result.best->song.title : "", c.best) << c.title;
    auto titles = Titles(result.candidates);
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, c.candidates) << c.title;
  }
  EXPECT_EQ(store_->LastError(), "");
}

TEST(TagFieldTest, OnlyAFullFieldWasCut) {
  EXPECT_FALSE(FillsTagField(std::string(kTagFieldBytes - 1, 'a')));
  EXPECT_TRUE(FillsTagField(std::string(kTagFieldBytes, 'a')));
  EXPECT_FALSE(FillsTagField(std::string(kTagFieldBytes + 1, 'a')));  // a caption, not a tag
}

// Names as the plugin sends them: bytes in the player's code page (here cp949, ASCII as itself),
// a field cut when it fills the tag's 30 bytes.
class SameSongTest : public LookupTest {
 protected:
  void SetUp() override {
    LookupTest::SetUp();
    const std::vector<Song> songs = {
        MakeSong("All We Know", "The Chainsmokers", "fighting flames"),
        MakeSong("All We Know (Virtual Riot Remix)", "The Chainsmokers/Phoebe Ryan", "remixed"),
        MakeSong("Night Song", "Some Band", "The night is long"),
        // all the words of "Night Song (Live 2009)" by Some Band: a ranked search finds it
        MakeSong("Tour Diary", "Some Band", "our night song, live in 2009"),
        MakeSong("The Ballad of the Long Goodbye", "Some Band", "w"),
        MakeSong("The Ballad of the Long Goodbye (Reprise)", "Some Band", "w"),
        MakeSong("The Ballad of the Long Goodbyes", "Some Band", "w"),
        MakeSong("Home", "Explosions In The Sky", "w"),
        MakeSong("Home", "Explosions In The Sky/Another Band", "w"),
        MakeSong("Symphony No. 5 in C minor, Op. 67", "Berliner Philharmoniker/Herbert von Karajan",
                 "w"),
        MakeSong("Symphony No. 5 in C minor, Op. 67", "Wiener Philharmoniker", "w"),
        MakeSong("Under Pressure", "Queen", "pressure"),
        MakeSong("Light as a", "Birds", "w"),
        MakeSong("A가나다라마바사아자차카타파하거", "Folk Choir", "w"),
        MakeSong("가나다라마바사아자차카타파하거너", "Folk Choir", "w"),
        MakeSong("Tessio (Spektre Remix)", "Luomo", "w"),
    };
    store_->PutFile("/songs.lrc", {1, 1}, songs);
  }

  static SongQuery Sent(std::string_view title, std::string_view artist) {
    static const auto codePage = CodePage::Open("cp949");
    return {.title = codePage->ToUtf8(title),
            .artist = codePage->ToUtf8(artist),
            .titleCut = FillsTagField(title),
            .artistCut = FillsTagField(artist)};
  }
};

std::string Names(const SongRow& row) {
  return row.song.title + " / " + row.song.artist;
}

struct SameSongCase {
  const char* title;  // as sent
  const char* artist;
  std::vector<std::string> found;  // "title / artist", best first
};

TEST_F(SameSongTest, FindsOnlyThisTitleByThisArtist) {
  const SameSongCase cases[] = {
      {"All We Know", "The Chainsmokers", {"All We Know / The Chainsmokers"}},
      // a title that fills its 30 bytes is completed, by the artist sent and no other
      {"All We Know (Virtual Riot Remi",
       "The Chainsmokers/Phoebe Ryan",
       {"All We Know (Virtual Riot Remix) / The Chainsmokers/Phoebe Ryan"}},
      // 29 bytes: whole, and no song has it
      {"All We Know (Virtual Riot Rem", "The Chainsmokers/Phoebe Ryan", {}},
      // the artist's own, without the group the cut left open
      {"All We Know (Virtual Riot Remi", "The Chainsmokers", {"All We Know / The Chainsmokers"}},
      // exact first, then the shortest completions
      {"The Ballad of the Long Goodbye",
       "Some Band",
       {"The Ballad of the Long Goodbye / Some Band", "The Ballad of the Long Goodbyes / Some Band",
        "The Ballad of the Long Goodbye (Reprise) / Some Band"}},
      // a cut artist: "Explosions In The Sky" is shorter than what was sent
      {"Home", "Explosions In The Sky/Another/", {"Home / Explosions In The Sky/Another Band"}},
      {"Home", "Explosions In The Sky/Another", {}},
      // both cut
      {"Symphony No. 5 in C minor, Op.",
       "Berliner Philharmoniker/Herber",
       {"Symphony No. 5 in C minor, Op. 67 / Berliner Philharmoniker/Herbert von Karajan"}},
      // cp949: 30 bytes end inside 거, which goes; 30 bytes of whole characters
      {"A\xb0\xa1\xb3\xaa\xb4\xd9\xb6\xf3\xb8\xb6\xb9\xd9\xbb\xe7\xbe\xc6\xc0\xda\xc2\xf7"
       "\xc4\xab\xc5\xb8\xc6\xc4\xc7\xcf\xb0",
       "Folk Choir",
       {"A가나다라마바사아자차카타파하거 / Folk Choir"}},
      {"\xb0\xa1\xb3\xaa\xb4\xd9\xb6\xf3\xb8\xb6\xb9\xd9\xbb\xe7\xbe\xc6\xc0\xda\xc2\xf7"
       "\xc4\xab\xc5\xb8\xc6\xc4\xc7\xcf\xb0\xc5",
       "Folk Choir",
       {"가나다라마바사아자차카타파하거너 / Folk Choir"}},
      // 30 bytes with no letter: a start of nothing, not of every song
      {"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!", "Some Band", {}},
      // the names without a version or a featured artist
      {"Night Song (Live 2009)", "Some Band", {"Night Song / Some Band"}},
      {"Night Song [Remastered] (Live)", "Some Band", {"Night Song / Some Band"}},
      {"Under Pressure (feat. David Bowie)", "Queen", {"Under Pressure / Queen"}},
      {"Under Pressure ft. David Bowie", "Queen", {"Under Pressure / Queen"}},
      {"Under Pressure", "Queen Featuring David Bowie", {"Under Pressure / Queen"}},
      {"Under Pressure", "Queen FT David Bowie", {"Under Pressure / Queen"}},
      {"Under Pressure [ft. David Bowie]", "Queen feat David Bowie", {"Under Pressure / Queen"}},
      // "with" often belongs to a name; a word that begins with "feat" is no marker
      {"Under Pressure", "Queen with David Bowie", {}},
      {"Light as a Feather", "Birds", {}},
      // the artist must be the one named
      {"Night Song", "", {}},
      {"Night Song", "Other Band", {}},
      {"", "Some Band", {}},
  };
  for (const SameSongCase& c : cases) {
    std::vector<std::string> found;
    for (const SongRow& row : FindSameSong(*store_, Sent(c.title, c.artist), 10))
      found.push_back(Names(row));
    EXPECT_EQ(found, c.found) << c.title << " by " << c.artist;
  }
  EXPECT_EQ(FindSameSong(*store_, Sent("The Ballad of the Long Goodbye", "Some Band"), 1).size(),
            1U);
  EXPECT_EQ(store_->LastError(), "");
}

struct LadderCase {
  const char* title;  // as sent
  const char* artist;
  const char* best;  // "title / artist"; empty: nothing shown
};

TEST_F(SameSongTest, TheLadderTriesTheSameSongFirst) {
  const LadderCase cases[] = {
      {"All We Know (Virtual Riot Remi", "The Chainsmokers/Phoebe Ryan",
       "All We Know (Virtual Riot Remix) / The Chainsmokers/Phoebe Ryan"},
      {"All We Know", "The Chainsmokers", "All We Know / The Chainsmokers"},
      // a cut title by anyone: its completion, not the title it begins with
      {"All We Know (Virtual Riot Remi", "Nobody",
       "All We Know (Virtual Riot Remix) / The Chainsmokers/Phoebe Ryan"},
      // the cut artist's own before the title by anyone
      {"Home", "Explosions In The Sky/Another/", "Home / Explosions In The Sky/Another Band"},
      // before the ranked search, which would rank the diary first
      {"Night Song (Live 2009)", "Some Band", "Night Song / Some Band"},
      // a tag's title without an artist comes as a caption: split, the cut in the title
      {"12. Luomo - Tessio (Spektre Re", "", "Tessio (Spektre Remix) / Luomo"},
      {"Luomo - Tessio (Spektre Remix)", "", "Tessio (Spektre Remix) / Luomo"},
  };
  for (const LadderCase& c : cases) {
    const auto result = FindSong(*store_, Sent(c.title, c.artist));
    EXPECT_EQ(result.best ? Names(*result.best) : "", c.best) << c.title << " by " << c.artist;
  }
  EXPECT_EQ(store_->LastError(), "");
}

}  // namespace
}  // namespace talvo
