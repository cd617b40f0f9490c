#include "lookup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_song.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

class LookupLadderTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "talvo-lookup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::string error;
    store_ = Store::Open((dir_ / "index.db").string(), error);
    ASSERT_NE(store_, nullptr) << error;
    store_->PutFile("/night.lrc", {1, 1},
                    {MakeSong("Night Song", "Some Band", "The night is long")});
    store_->PutFile("/day.lrc", {1, 1}, {MakeSong("Day Song", "Some Band", "The day is short")});
    store_->PutFile("/march.lrc", {1, 1}, {MakeSong("March", "Brass Band", "Left, right")});
    store_->PutFile("/rails.lrc", {1, 1},
                    {MakeSong("Iron Road", "Rail Crew", "the train runs on through")});
  }
  void TearDown() override {
    store_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path dir_;
  std::unique_ptr<Store> store_;
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
    LookupResult result;
    result.title = c.title;
    result.artist = c.artist;
    FindSong(*store_, result);
    EXPECT_EQ(result.best ? result.best->song.title : "", c.best) << c.title;
    auto titles = Titles(result.candidates);
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, c.candidates) << c.title;
  }
  EXPECT_EQ(store_->LastError(), "");
}

}  // namespace
}  // namespace talvo
