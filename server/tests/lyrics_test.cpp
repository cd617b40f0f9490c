#include "lyrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>

namespace talvo {
namespace {

using namespace std::string_view_literals;

struct LrcCase {
  std::string_view lrc;
  std::string_view lyrics;
};

class Lrc : public testing::TestWithParam<LrcCase> {};

TEST_P(Lrc, GivesPlainLyrics) {
  EXPECT_EQ(ParseLrc(GetParam().lrc).lyrics, GetParam().lyrics) << GetParam().lrc;
}

INSTANTIATE_TEST_SUITE_P(StampForms, Lrc,
                         testing::Values(LrcCase{"[01:02]x", "x"}, LrcCase{"[01:02.3]x", "x"},
                                         LrcCase{"[01:02.34]x", "x"}, LrcCase{"[01:02.345]x", "x"},
                                         LrcCase{"[01:02:34]x", "x"}, LrcCase{"[1:02]x", "x"},
                                         LrcCase{"[123:2]x", "x"},
                                         LrcCase{"  [00:01.00]  x  ", "x"},
                                         LrcCase{"[00:01] [00:02]x", "x\nx"},
                                         LrcCase{"[99999999999999999999999:00]x", "x"}));

INSTANTIATE_TEST_SUITE_P(
    NotStampsStayText, Lrc,
    testing::Values(LrcCase{"[", "["}, LrcCase{"[]x", "[]x"}, LrcCase{"[:]x", "[:]x"},
                    LrcCase{"[01]x", "[01]x"}, LrcCase{"[01:]x", "[01:]x"},
                    LrcCase{"[01:02.]x", "[01:02.]x"}, LrcCase{"[01:02.3456]x", "[01:02.3456]x"},
                    LrcCase{"[01:023]x", "[01:023]x"}, LrcCase{"[01:02", "[01:02"},
                    LrcCase{"[-1:02]x", "[-1:02]x"}, LrcCase{"[Chorus]", "[Chorus]"},
                    LrcCase{"[00:01]a [00:02]b", "a [00:02]b"}));

INSTANTIATE_TEST_SUITE_P(
    TimeOrder, Lrc,
    testing::Values(LrcCase{"[00:05]b\n[00:01]a", "a\nb"},
                    // ".5" is half a second and ".10" a tenth: 2.5 s comes after 2.1 s.
                    LrcCase{"[00:02.5]late\n[00:02.10]early", "early\nlate"},
                    LrcCase{"[00:01:50]late\n[00:01.40]early", "early\nlate"},
                    LrcCase{"[00:01.005]late\n[00:01.004]early", "early\nlate"},
                    LrcCase{"[10:00]late\n[9:59.99]early", "early\nlate"},
                    LrcCase{"[00:03]same1\n[00:03]same2", "same1\nsame2"},
                    LrcCase{"[00:10][00:30]Chorus\n[00:20]Verse", "Chorus\nVerse\nChorus"},
                    LrcCase{"[99999999999:00]last\n[00:01]first", "first\nlast"},
                    LrcCase{"Intro\n[00:05]b\n[00:01]a", "Intro\na\nb"},
                    LrcCase{"[00:05]b\nafter b\n[00:01]a", "a\nb\nafter b"},
                    LrcCase{"[00:05]b\n[00:01]a\n", "a\nb"},
                    LrcCase{"[00:05]b\r\n[00:01]a\r\n", "a\nb"}));

INSTANTIATE_TEST_SUITE_P(BlankLines, Lrc,
                         testing::Values(LrcCase{"[00:01]a\n\n\n[00:02]b", "a\n\nb"},
                                         LrcCase{"[00:01]a\n[00:02]\n[00:02.5]\n[00:03]b",
                                                 "a\n\nb"},
                                         LrcCase{"\n\n[00:01]a\n\n", "a"},
                                         LrcCase{"[00:01]a\r\n\r\n[00:02]b\r\n", "a\n\nb"},
                                         LrcCase{"[00:01]a\r[00:02]b", "a\nb"}, LrcCase{"", ""}));

INSTANTIATE_TEST_SUITE_P(WordStamps, Lrc,
                         testing::Values(LrcCase{"[00:01]<00:01.00>Hello <00:01.50>world",
                                                 "Hello world"},
                                         LrcCase{"[00:01]a <3 b <00:0 c", "a <3 b <00:0 c"}));

TEST(ParseLrc, EqualTimesKeepFileOrderInLongFiles) {
  std::string lrc;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string words = "w" + std::to_string(i);
    lrc += (i % 2 == 0 ? "[00:02]" : "[00:01]") + words + "\n";
    if (i % 2 == 1) expected += words + "\n";
  }
  for (int i = 0; i < 200; i += 2) expected += "w" + std::to_string(i) + "\n";
  expected.pop_back();
  EXPECT_EQ(ParseLrc(lrc).lyrics, expected);
}

TEST(ParseLrc, TagsGiveNamesAndOtherTagsAreDropped) {
  const Song song = ParseLrc(
      "[ti: Song [Live] ]\r\n[AR:Artist]\n[al:Album]\n[by:someone]\n[offset:+500]\n[#:note]\n"
      "[ti:Second title]\n[00:01.00]words\n[re:tool]");
  EXPECT_EQ(song.title, "Song [Live]");
  EXPECT_EQ(song.artist, "Artist");
  EXPECT_EQ(song.album, "Album");
  EXPECT_EQ(song.lyrics, "words");
}

TEST(ParseLrc, TagLookAlikesAreText) {
  const Song song = ParseLrc("[ti:Name] extra\n[1ti:x]\n[ti x:y]\n[ti:]\n[00:01][ar:x]");
  EXPECT_EQ(song.title, "");
  EXPECT_EQ(song.artist, "");
  EXPECT_EQ(song.lyrics, "[ti:Name] extra\n[1ti:x]\n[ti x:y]\n[ar:x]");
}

TEST(ParseLrc, HostileInputStaysBounded) {
  const std::string brackets(1U << 20U, '[');
  EXPECT_EQ(ParseLrc(brackets).lyrics, brackets);
  const std::string digits = "[" + std::string(1U << 20U, '9') + ":00]x";
  EXPECT_EQ(ParseLrc(digits).lyrics, "x");
  const std::string unterminated = "[00:01" + std::string(kMaxLyricsBytes - 6, '0');
  EXPECT_EQ(ParseLrc(unterminated).lyrics, unterminated);

  // A line stamped ten thousand times is repeated a bounded number of times.
  std::string stamped;
  for (int i = 0; i < 10000; ++i) stamped += "[00:01]";
  stamped += "la";
  const std::string lyrics = ParseLrc(stamped).lyrics;
  const auto copies = std::count(lyrics.begin(), lyrics.end(), '\n') + 1;
  EXPECT_GE(copies, 2);
  EXPECT_LE(copies, 100);

  const std::string words = "[00:01]" + std::string(1U << 20U, '<');
  EXPECT_EQ(ParseLrc(words).lyrics.size(), 1U << 20U);
}

// A stamped line of width bytes: its words and, when there are several stamps, each a repeat.
std::string StampedLine(std::string_view stamp, std::size_t stamps, char letter,
                        std::size_t width) {
  std::string line;
  for (std::size_t i = 0; i < stamps; ++i) line += stamp;
  return line + std::string(width, letter) + "\n";
}

struct CapCase {
  const char* name;
  std::string (*lrc)();  // made when the case runs: listing the tests builds no megabytes
  std::size_t size;      // of the lyrics
  std::size_t lastLine;  // the size of the last line kept: only whole lines are
};

void PrintTo(const CapCase& row, std::ostream* os) {
  *os << row.name;
}

class LyricsCap : public testing::TestWithParam<CapCase> {};

TEST_P(LyricsCap, KeepsWholeLinesUpToTheCap) {
  const std::string lyrics = ParseLrc(GetParam().lrc()).lyrics;
  EXPECT_EQ(lyrics.size(), GetParam().size);
  const std::size_t lastLine = lyrics.size() - (lyrics.rfind('\n') + 1);
  EXPECT_EQ(lastLine, GetParam().lastLine);
}

// The stamp bomb: a file under the cap whose every line is stamped 64 times.
std::string StampBomb() {
  std::string lrc;
  while (lrc.size() + 1000 <= kMaxLyricsBytes) lrc += StampedLine("[00:01.00]", 64, 'x', 359);
  return lrc;
}

INSTANTIATE_TEST_SUITE_P(
    ParseLrc, LyricsCap,
    testing::Values(
        CapCase{"AtTheCap",
                [] { return StampedLine("[00:01]", 1, 'a', kMaxLyricsBytes - 2) + "[00:02]b"; },
                kMaxLyricsBytes, 1},
        CapCase{"OneOver",
                [] { return StampedLine("[00:01]", 1, 'a', kMaxLyricsBytes - 1) + "[00:02]b"; },
                kMaxLyricsBytes - 1, kMaxLyricsBytes - 1},
        // A thousand lines of 359 letters, each 64 times over, would be 24 MB.
        CapCase{"StampBomb", StampBomb, kMaxLyricsBytes / 360 * 360 - 1, 359}),
    [](const testing::TestParamInfo<CapCase>& row) { return std::string(row.param.name); });

class Timestamps : public testing::TestWithParam<std::pair<std::string_view, bool>> {};

TEST_P(Timestamps, AreSeen) {
  EXPECT_EQ(HasTimestamps(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    LineStarts, Timestamps,
    testing::Values(std::pair{"[00:01]x"sv, true}, std::pair{"  [00:01.00]x"sv, true},
                    std::pair{"[ti:x]\r\n[00:01:00]y"sv, true}, std::pair{"plain\r[1:02]"sv, true},
                    std::pair{""sv, false}, std::pair{"plain words"sv, false},
                    std::pair{"[ti:x]\n[ar:y]"sv, false}, std::pair{"at [00:01] it"sv, false},
                    std::pair{"[Chorus]\n[00:01"sv, false}, std::pair{"[01:02.3456]"sv, false}));

class Tidy : public testing::TestWithParam<LrcCase> {};

TEST_P(Tidy, Cleans) {
  EXPECT_EQ(TidyLyrics(GetParam().lrc), GetParam().lyrics);
}

INSTANTIATE_TEST_SUITE_P(
    LinesAndBlanks, Tidy,
    testing::Values(LrcCase{"", ""}, LrcCase{"\n \n\t\n", ""}, LrcCase{"a\r\nb\rc\n", "a\nb\nc"},
                    LrcCase{"a  \t\nb ", "a\nb"}, LrcCase{"  a\n b", "  a\n b"},
                    LrcCase{"\n\na\n\n \n\t\nb\n\n", "a\n\nb"}, LrcCase{"a\r\n\r\nb", "a\n\nb"},
                    LrcCase{"a\0b"sv, "a\0b"sv}));

class PlaylistNumber : public testing::TestWithParam<LrcCase> {};

TEST_P(PlaylistNumber, IsDropped) {
  EXPECT_EQ(DropPlaylistNumber(GetParam().lrc), GetParam().lyrics);
}

INSTANTIATE_TEST_SUITE_P(Captions, PlaylistNumber,
                         testing::Values(LrcCase{"12. Artist - Title", "Artist - Title"},
                                         LrcCase{"3.Title", "Title"}, LrcCase{" 7.   X", "X"},
                                         LrcCase{"00001. X", "X"}, LrcCase{"Title", "Title"},
                                         LrcCase{"2.0 Remix", "2.0 Remix"},
                                         LrcCase{"12 Monkeys", "12 Monkeys"}, LrcCase{"12.", "12."},
                                         LrcCase{"12.  ", "12.  "},
                                         LrcCase{"123456. X", "123456. X"}, LrcCase{".5 X", ".5 X"},
                                         LrcCase{"A1. X", "A1. X"}, LrcCase{"", ""}));

struct SplitCase {
  std::string_view text;
  bool split;
  std::string_view artist;
  std::string_view title;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class ArtistTitle : public testing::TestWithParam<SplitCase> {};

TEST_P(ArtistTitle, Splits) {
  const SplitCase& c = GetParam();
  std::string artist = "old artist";
  std::string title = "old title";
  EXPECT_EQ(SplitArtistTitle(c.text, artist, title), c.split) << c.text;
  EXPECT_EQ(artist, c.split ? c.artist : "old artist");
  EXPECT_EQ(title, c.split ? c.title : "old title");
}

INSTANTIATE_TEST_SUITE_P(
    AtFirstSpacedDash, ArtistTitle,
    testing::Values(SplitCase{"Artist - Title", true, "Artist", "Title"},
                    SplitCase{"AC/DC  -  Back In Black ", true, "AC/DC", "Back In Black"},
                    SplitCase{"A - B - C", true, "A", "B - C"},
                    SplitCase{"Jay-Z - 99 Problems", true, "Jay-Z", "99 Problems"},
                    SplitCase{"Jay-Z", false, "", ""}, SplitCase{"Artist -Title", false, "", ""},
                    SplitCase{" - Title", false, "", ""}, SplitCase{"Artist - ", false, "", ""},
                    SplitCase{"   -   ", false, "", ""}, SplitCase{"", false, "", ""}));

}  // namespace
}  // namespace talvo
