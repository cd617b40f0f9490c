#include "text/lyrics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

class Synced : public testing::TestWithParam<LrcCase> {};

TEST_P(Synced, GivesTimedLines) {
  EXPECT_EQ(ParseLrc(GetParam().lrc).synced, GetParam().lyrics) << GetParam().lrc;
}

INSTANTIATE_TEST_SUITE_P(
    StampsAsHundredths, Synced,
    testing::Values(LrcCase{"[01:02]x", "[01:02.00] x"}, LrcCase{"[1:02.3]x", "[01:02.30] x"},
                    LrcCase{"[01:02.345]x", "[01:02.34] x"}, LrcCase{"[01:02:34]x", "[01:02.34] x"},
                    LrcCase{"[123:2]x", "[123:02.00] x"},
                    // Seconds past 59 carry into the minutes.
                    LrcCase{"[02:83.375]x", "[03:23.37] x"},
                    LrcCase{"[99999999999999999999999:00]x", "[1000000000:00.00] x"},
                    LrcCase{"  [00:01.00]  x  ", "[00:01.00] x"},
                    LrcCase{"[00:01]a [00:02]b", "[00:01.00] a [00:02]b"}));

INSTANTIATE_TEST_SUITE_P(
    OrderAndRepeats, Synced,
    testing::Values(LrcCase{"[00:05]b\n[00:01]a", "[00:01.00] a\n[00:05.00] b"},
                    LrcCase{"[00:03]same1\n[00:03]same2", "[00:03.00] same1\n[00:03.00] same2"},
                    LrcCase{"[00:10][00:30]Chorus\n[00:20]Verse",
                            "[00:10.00] Chorus\n[00:20.00] Verse\n[00:30.00] Chorus"},
                    LrcCase{"[00:01.005]late\n[00:01.004]early",
                            "[00:01.00] early\n[00:01.00] late"},
                    // Unstamped lines are words without a time: left out.
                    LrcCase{"Intro\n[00:05]b\nafter b\n[00:01]a", "[00:01.00] a\n[00:05.00] b"},
                    LrcCase{"[ti:T]\n[ar:A]\r\n[00:01]a\r\n", "[00:01.00] a"},
                    LrcCase{"plain words\nonly", ""}, LrcCase{"[ti:T]\n[length:1:00]", ""},
                    LrcCase{"", ""}));

// A stamped blank line is a pause in the timing, kept as LRCLIB keeps it.
INSTANTIATE_TEST_SUITE_P(BlankLines, Synced,
                         testing::Values(LrcCase{"[00:01]a\n[00:02]\n\n[00:03]b",
                                                 "[00:01.00] a\n[00:02.00] \n[00:03.00] b"},
                                         LrcCase{"[00:01]   ", "[00:01.00] "},
                                         LrcCase{"[00:01]<00:01.50>", "[00:01.00] "}));

INSTANTIATE_TEST_SUITE_P(
    Offset, Synced,
    testing::Values(LrcCase{"[offset:+500]\n[00:01.00]a", "[00:00.50] a"},
                    LrcCase{"[offset:-500]\n[00:01.00]a", "[00:01.50] a"},
                    LrcCase{"[OFFSET: 75]\n[00:01.00]a", "[00:00.92] a"},
                    LrcCase{"[00:01.00]a\n[offset:1000]", "[00:00.00] a"},
                    // Clamped at the start, still in their order.
                    LrcCase{"[offset:+5000]\n[00:03]b\n[00:01]a\n[00:09]c",
                            "[00:00.00] a\n[00:00.00] b\n[00:04.00] c"},
                    LrcCase{"[offset:100]\n[offset:900]\n[00:01]a", "[00:00.90] a"},
                    LrcCase{"[offset:+/- ms]\n[00:01]a", "[00:01.00] a"},
                    LrcCase{"[offset:]\n[offset:1x]\n[offset:--5]\n[00:01]a", "[00:01.00] a"},
                    LrcCase{"[offset:-99999999999999999999999]\n[00:01]a", "[1000000000:01.00] a"},
                    LrcCase{"[offset:99999999999999999999999]\n[99999999999999999999999:00]a",
                            "[00:00.00] a"}));

INSTANTIATE_TEST_SUITE_P(
    WordStamps, Synced,
    testing::Values(LrcCase{"[00:01]<00:01.00>Hello <00:01.50>world", "[00:01.00] Hello world"},
                    LrcCase{"[00:01]Hel<00:01.20>lo", "[00:01.00] Hel lo"},
                    LrcCase{"[00:01]a <00:02> b", "[00:01.00] a b"},
                    LrcCase{"[00:01]a<00:02><00:03>b", "[00:01.00] a b"},
                    LrcCase{"[00:01]a <00:02>  ", "[00:01.00] a"},
                    LrcCase{"[00:01] <00:01.02> Line 1", "[00:01.00] Line 1"},
                    LrcCase{"[00:01]a  b <3 <00:0 c", "[00:01.00] a  b <3 <00:0 c"}));

// Plain words stay as they always were, even where the timed form puts a space.
TEST(ParseLrc, WordStampsLeaveThePlainTextAsItWas) {
  const Song song = ParseLrc("[00:01]Hel<00:01.20>lo <00:02>world");
  EXPECT_EQ(song.lyrics, "Hello world");
  EXPECT_EQ(song.synced, "[00:01.00] Hel lo world");
}

struct LengthCase {
  std::string_view lrc;
  std::int64_t durationMs;
};

class Length : public testing::TestWithParam<LengthCase> {};

TEST_P(Length, GivesTheDuration) {
  EXPECT_EQ(ParseLrc(GetParam().lrc).durationMs, GetParam().durationMs) << GetParam().lrc;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Length,
    testing::Values(LengthCase{"[length: 2:50]", 170'000}, LengthCase{"[length:02:52]", 172'000},
                    LengthCase{"[LENGTH:03:45.67]\n[00:01]a", 225'670},
                    LengthCase{"[length:1:00]\n[length:2:00]", 60'000},
                    LengthCase{"[length:]\n[length:2:00]", 120'000}, LengthCase{"[length:180]", 0},
                    LengthCase{"[length:2:50 min]", 0}, LengthCase{"[length:-2:50]", 0},
                    LengthCase{"[00:01][length:1:00]", 0}, LengthCase{"[00:01]a", 0}));

class Instrumental : public testing::TestWithParam<std::pair<std::string_view, bool>> {};

TEST_P(Instrumental, IsMarked) {
  EXPECT_EQ(ParseLrc(GetParam().first).instrumental, GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Marker, Instrumental,
    testing::Values(std::pair{"[au: instrumental]"sv, true}, std::pair{"[au:instrumental]"sv, true},
                    std::pair{"[AU: Instrumental]"sv, true},
                    std::pair{"[ au :\tinstrumental ]"sv, true},
                    std::pair{"[ti:T]\r\n[00:00.00][au: instrumental]"sv, true},
                    std::pair{"[00:01]words [[au: instrumental] more"sv, true},
                    std::pair{"[au: instrumentals]"sv, false}, std::pair{"[au: someone]"sv, false},
                    std::pair{"[ar: instrumental]"sv, false}, std::pair{"instrumental"sv, false},
                    std::pair{"[au: instrumental"sv, false},
                    std::pair{"[au: instru\nmental]"sv, false}, std::pair{""sv, false}));

TEST(ParseLrc, AnInstrumentalHasNoWords) {
  const Song song = ParseLrc("[ti:Theme]\n[ar:Band]\n[length:3:00]\n[au: instrumental]\n");
  EXPECT_TRUE(song.instrumental);
  EXPECT_EQ(song.title, "Theme");
  EXPECT_EQ(song.lyrics, "");
  EXPECT_EQ(song.synced, "");
  EXPECT_EQ(song.durationMs, 180'000);
}

class StampCap : public testing::TestWithParam<std::size_t> {};

// Each stamp past the cap is read and dropped, in both forms.
TEST_P(StampCap, RepeatsALineAtMost64Times) {
  std::string lrc;
  for (std::size_t i = 0; i < GetParam(); ++i) lrc += "[00:01]";
  const Song song = ParseLrc(lrc + "la");
  const auto lines = [](const std::string& text) {
    return std::count(text.begin(), text.end(), '\n') + 1;
  };
  const auto expected = static_cast<std::ptrdiff_t>(std::min<std::size_t>(GetParam(), 64));
  EXPECT_EQ(lines(song.lyrics), expected);
  EXPECT_EQ(lines(song.synced), expected);
}

INSTANTIATE_TEST_SUITE_P(ParseLrc, StampCap, testing::Values(1, 64, 65, 10000));

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
  std::size_t syncedSize;
  std::size_t syncedLastLine;
};

void PrintTo(const CapCase& row, std::ostream* os) {
  *os << row.name;
}

class LyricsCap : public testing::TestWithParam<CapCase> {};

std::size_t LastLineSize(const std::string& text) {
  return text.size() - (text.rfind('\n') + 1);
}

TEST_P(LyricsCap, KeepsWholeLinesUpToTheCap) {
  const Song song = ParseLrc(GetParam().lrc());
  EXPECT_EQ(song.lyrics.size(), GetParam().size);
  EXPECT_EQ(LastLineSize(song.lyrics), GetParam().lastLine);
  EXPECT_EQ(song.synced.size(), GetParam().syncedSize);
  EXPECT_EQ(LastLineSize(song.synced), GetParam().syncedLastLine);
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
                kMaxLyricsBytes, 1, 0, 0},
        CapCase{"OneOver",
                [] { return StampedLine("[00:01]", 1, 'a', kMaxLyricsBytes - 1) + "[00:02]b"; },
                kMaxLyricsBytes - 1, kMaxLyricsBytes - 1, 0, 0},
        // A synced line is its words and "[mm:ss.xx] ", 11 bytes.
        CapCase{"SyncedAtTheCap",
                [] { return StampedLine("[00:01]", 1, 'a', kMaxLyricsBytes - 24) + "[00:02]b"; },
                kMaxLyricsBytes - 22, 1, kMaxLyricsBytes, 12},
        CapCase{"SyncedOneOver",
                [] { return StampedLine("[00:01]", 1, 'a', kMaxLyricsBytes - 23) + "[00:02]b"; },
                kMaxLyricsBytes - 21, 1, kMaxLyricsBytes - 12, kMaxLyricsBytes - 12},
        // A thousand lines of 359 letters, each 64 times over, would be 24 MB.
        CapCase{"StampBomb", StampBomb, kMaxLyricsBytes / 360 * 360 - 1, 359,
                (kMaxLyricsBytes + 1) / 371 * 371 - 1, 370}),
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

struct TextCase {
  std::string_view text;
  std::string_view lyrics;
  std::string_view synced;
  bool instrumental;
};

void PrintTo(const TextCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.text);
}

class UnknownForm : public testing::TestWithParam<TextCase> {};

TEST_P(UnknownForm, ReadsAsLrcOnlyWithStampsOrTheMark) {
  const Song song = ParseLyrics(GetParam().text);
  EXPECT_EQ(song.lyrics, GetParam().lyrics);
  EXPECT_EQ(song.synced, GetParam().synced);
  EXPECT_EQ(song.instrumental, GetParam().instrumental);
  EXPECT_EQ(song.title, "");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UnknownForm,
    testing::Values(TextCase{"[ti:T]\n[00:02]b\n[00:01]a", "a\nb", "[00:01.00] a\n[00:02.00] b",
                             false},
                    // Without stamps a tag-like line is words, and indents stay.
                    TextCase{"[Chorus]\n  words\n[ti:T]", "[Chorus]\n  words\n[ti:T]", "", false},
                    TextCase{"[au: instrumental]\n", "", "", true}, TextCase{"", "", "", false}));

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
