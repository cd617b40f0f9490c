#include "text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace talvo {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kArirangCp949 = "\xBE\xC6\xB8\xAE\xB6\xFB";
constexpr std::string_view kArirang = "\xEC\x95\x84\xEB\xA6\xAC\xEB\x9E\x91";  // 아리랑

CodePage Open(std::string_view name) {
  auto page = CodePage::Open(name);
  if (!page) ADD_FAILURE() << "cannot open " << name;
  return page.value_or(*CodePage::Open("UTF-8"));
}

class WindowsNames : public testing::TestWithParam<std::string_view> {};

TEST_P(WindowsNames, MeanTheWindowsTable) {
  const auto page = CodePage::Open(GetParam());
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->Name(), Open("windows-949").Name());
  bool lossy = true;
  EXPECT_EQ(page->ToUtf8(kArirangCp949, &lossy), kArirang);
  EXPECT_FALSE(lossy);
}

INSTANTIATE_TEST_SUITE_P(Cp949, WindowsNames,
                         testing::Values("cp949", "CP949", "Cp949", "949", "windows-949",
                                         "KS_C_5601-1987", "cp949 ", "CP-0949", "cp_949"));

TEST(CodePage, WindowsFormsAreNotIbmTables) {
#ifndef _WIN32
  // ICU files IBM's tables under "cp949" and "cp1252"-like names; ours must not land there.
  // Windows has no IBM table of that number: "ibm-949" is its own 949 there.
  EXPECT_NE(Open("cp949").Name(), Open("ibm-949").Name());
#endif
  for (const std::string_view name : {"1252"sv, "cp1252"sv, "CP1252"sv, "windows-1252"sv}) {
    EXPECT_EQ(Open(name).ToUtf8("\x80\xE9"), "\xE2\x82\xAC\xC3\xA9") << name;
  }
  EXPECT_EQ(Open("932").Name(), Open("windows-932").Name());
  EXPECT_EQ(Open("1251").ToUtf8("\xC0"), "\xD0\x90");  // Cyrillic А
}

TEST(CodePage, UnknownNamesGiveNothing) {
  for (const std::string_view name :
       {""sv, "bogus"sv, "cp99999"sv, "99999"sv, "windows-9999"sv, "cp"sv, "949\0"sv}) {
    EXPECT_FALSE(CodePage::Open(name).has_value()) << name;
  }
  EXPECT_FALSE(CodePage::Open(std::string(100000, 'a')).has_value());
}

struct DecodeCase {
  std::string_view page;
  std::string_view bytes;
  std::string_view utf8;
  bool lossy;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << c.page << ": " << c.utf8;
}

class ToUtf8 : public testing::TestWithParam<DecodeCase> {};

TEST_P(ToUtf8, Decodes) {
  const DecodeCase& c = GetParam();
  bool lossy = !c.lossy;
  EXPECT_EQ(Open(c.page).ToUtf8(c.bytes, &lossy), c.utf8);
  EXPECT_EQ(lossy, c.lossy);
}

INSTANTIATE_TEST_SUITE_P(
    Windows1252, ToUtf8,
    testing::Values(DecodeCase{"cp1252", "", "", false},
                    DecodeCase{"cp1252", "caf\xE9", "caf\xC3\xA9", false},
                    DecodeCase{"cp1252", "\x80", "\xE2\x82\xAC", false},
                    DecodeCase{"cp1252", "a\x81z", "a\xEF\xBF\xBDz", true},
                    DecodeCase{"cp1252", "\x8D\x8F\x90\x9D",
                               "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", true},
                    DecodeCase{"cp1252", "a\0b"sv, "a\0b"sv, false}));

INSTANTIATE_TEST_SUITE_P(
    MultiByte, ToUtf8,
    testing::Values(DecodeCase{"cp949", "\xBE\xC6\xBE", "\xEC\x95\x84\xEF\xBF\xBD", true},
                    DecodeCase{"cp949", "\xBE!", "\xEF\xBF\xBD!", true},
                    // Shift_JIS's own substitute is U+001A; callers get U+FFFD.
                    DecodeCase{"cp932", "\x80", "\xEF\xBF\xBD", true},
                    DecodeCase{"cp932", "\x82\xA0", "\xE3\x81\x82", false}));

// The names players and tag editors write, which each platform must know by its own tables.
INSTANTIATE_TEST_SUITE_P(NamedPages, ToUtf8,
                         testing::Values(DecodeCase{"Shift_JIS", "\x82\xA0", "\xE3\x81\x82", false},
                                         DecodeCase{"GBK", "\xC4\xE3", "\xE4\xBD\xA0", false},
                                         DecodeCase{"GB2312", "\xC4\xE3", "\xE4\xBD\xA0", false},
                                         DecodeCase{"Big5", "\xA7\x41", "\xE4\xBD\xA0", false},
                                         DecodeCase{"EUC-KR", kArirangCp949, kArirang, false},
                                         DecodeCase{"KOI8-R", "\xF0", "\xD0\x9F", false},
                                         DecodeCase{"ISO-8859-5", "\xB0", "\xD0\x90", false},
                                         DecodeCase{"UTF-8", "caf\xC3\xA9\xE9",
                                                    "caf\xC3\xA9\xEF\xBF\xBD", true},
                                         // A hole Windows fills with a private-use character.
                                         DecodeCase{"windows-1255", "\xD9", "\xEF\xBF\xBD", true}));

// Plain ASCII is taken as it is only where it means itself.
INSTANTIATE_TEST_SUITE_P(AsciiBytes, ToUtf8,
                         testing::Values(DecodeCase{"cp949", "Night Song", "Night Song", false},
                                         DecodeCase{"UTF-7", "+AGE-", "a", false},
                                         DecodeCase{"IBM037", "a", "/", false}));

TEST(CodePage, EveryByteGivesValidUtf8) {
  for (const std::string_view name : {"cp1252"sv, "cp949"sv, "cp932"sv, "cp874"sv, "cp1255"sv}) {
    const CodePage page = Open(name);
    for (int b = 0; b < 256; ++b) {
      const std::string bytes = {static_cast<char>(b), 'a', static_cast<char>(b)};
      EXPECT_TRUE(IsValidUtf8(page.ToUtf8(bytes))) << name << " " << b;
    }
  }
}

TEST(CodePage, LongTextDecodesWhole) {
  // Long text is converted in pieces; no two-byte character may be cut between them, nor
  // may a bad byte far in lose what surrounds it.
  std::string bytes = "a";
  std::string utf8 = "a";
  for (int i = 0; i < 30000; ++i) {
    bytes.append(kArirangCp949).append("\n");
    utf8.append(kArirang).append("\n");
  }
  bool lossy = true;
  EXPECT_EQ(Open("cp949").ToUtf8(bytes, &lossy), utf8);
  EXPECT_FALSE(lossy);
  bytes.append("\xBE!");
  utf8.append("\xEF\xBF\xBD!");
  EXPECT_EQ(Open("cp949").ToUtf8(bytes, &lossy), utf8);
  EXPECT_TRUE(lossy);
}

class Utf8Validity : public testing::TestWithParam<std::pair<std::string_view, bool>> {};

TEST_P(Utf8Validity, Holds) {
  EXPECT_EQ(IsValidUtf8(GetParam().first), GetParam().second)
      << testing::PrintToString(GetParam().first);
}

INSTANTIATE_TEST_SUITE_P(
    WellAndIllFormed, Utf8Validity,
    testing::Values(std::pair{""sv, true}, std::pair{"abc"sv, true}, std::pair{"a\0b"sv, true},
                    std::pair{"caf\xC3\xA9"sv, true}, std::pair{"\xF0\x9F\x8E\xB5"sv, true},
                    std::pair{"\xF4\x8F\xBF\xBF"sv, true}, std::pair{"caf\xE9"sv, false},
                    std::pair{"\xC3"sv, false}, std::pair{"\x80"sv, false},
                    std::pair{"\xC0\xAF"sv, false}, std::pair{"\xE0\x80\xAF"sv, false},
                    std::pair{"\xED\xA0\x80"sv, false}, std::pair{"\xF4\x90\x80\x80"sv, false},
                    std::pair{"\xFF"sv, false}, std::pair{"\xF0\x9F\x8E"sv, false}));

struct FileCase {
  std::string_view bytes;
  std::string_view utf8;
  bool lossy;
};

void PrintTo(const FileCase& c, std::ostream* os) {
  *os << '"' << c.utf8 << '"';
}

class FileText : public testing::TestWithParam<FileCase> {};

TEST_P(FileText, Decodes) {
  const FileCase& c = GetParam();
  bool lossy = !c.lossy;
  EXPECT_EQ(DecodeFileText(c.bytes, Open("cp1252"), &lossy), c.utf8);
  EXPECT_EQ(lossy, c.lossy);
}

INSTANTIATE_TEST_SUITE_P(
    ByteOrderMarks, FileText,
    testing::Values(FileCase{"\xEF\xBB\xBFhi\r\nthere", "hi\nthere", false},
                    FileCase{"\xEF\xBB\xBF", "", false},
                    // A marked file is UTF-8 even where it is broken; the fallback is not asked.
                    FileCase{"\xEF\xBB\xBF"
                             "a\xE9z",
                             "a\xEF\xBF\xBDz", true},
                    FileCase{"\xFF\xFEh\0i\0\r\0\n\0"sv, "hi\n", false},
                    FileCase{"\xFF\xFE\x44\xC5"sv, "\xEC\x95\x84", false},
                    FileCase{"\xFE\xFF\0h\0i"sv, "hi", false},
                    FileCase{"\xFF\xFEh\0i"sv, "h\xEF\xBF\xBD", true},
                    FileCase{"\xFF\xFE\x00\xD8z\0"sv, "\xEF\xBF\xBDz", true}));

INSTANTIATE_TEST_SUITE_P(Unmarked, FileText,
                         testing::Values(FileCase{"", "", false},
                                         FileCase{"caf\xC3\xA9", "caf\xC3\xA9", false},
                                         FileCase{"caf\xE9\r\n", "caf\xC3\xA9\n", false},
                                         FileCase{"a\rb\r\n\r\nc\n\rd", "a\nb\n\nc\n\nd", false},
                                         FileCase{"\xFE\xFE", "\xC3\xBE\xC3\xBE", false},
                                         FileCase{"\x81", "\xEF\xBF\xBD", true}));

struct KeyCase {
  std::string_view name;
  std::string_view key;
};

class Keys : public testing::TestWithParam<KeyCase> {};

TEST_P(Keys, Match) {
  EXPECT_EQ(MatchKey(GetParam().name), GetParam().key) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    PunctuationSymbolsAndSpaces, Keys,
    testing::Values(KeyCase{"AC/DC", "ac dc"}, KeyCase{"ac-dc", "ac dc"},
                    KeyCase{"\xEF\xBC\xA1\xEF\xBD\x83\xE3\x80\x80\xEF\xBC\xA4\xEF\xBC\xA3",
                            "ac dc"},
                    KeyCase{" AC // DC! ", "ac dc"}, KeyCase{"  Night   Song ", "night song"},
                    KeyCase{"Night\tSong\n", "night song"}, KeyCase{"Don't", "don t"},
                    KeyCase{"Guns N' Roses", "guns n roses"}, KeyCase{"", ""}, KeyCase{"!?!", ""},
                    KeyCase{"\xE2\x80\x94 \xE2\x99\xAA", ""},
                    KeyCase{"a\xE2\x80\x94\xE3\x80\x8C"
                            "b",
                            "a b"}));

INSTANTIATE_TEST_SUITE_P(FoldingAndCompatibility, Keys,
                         testing::Values(KeyCase{"Beyonc\xC3\xA9", "beyonc\xC3\xA9"},
                                         KeyCase{"BEYONCE\xCC\x81", "beyonc\xC3\xA9"},
                                         KeyCase{"Stra\xC3\x9F"
                                                 "e",
                                                 "strasse"},
                                         KeyCase{"STRASSE", "strasse"},
                                         KeyCase{"Track \xEF\xBC\x90\xEF\xBC\x91", "track 01"},
                                         KeyCase{"\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE",
                                                 "\xD0\xBA\xD0\xB8\xD0\xBD\xD0\xBE"},
                                         KeyCase{"Beyonce", "beyonce"}));

// Where case folding is more than lower case, and where a code point's class is easily taken
// for another's: each platform's tables must give these.
INSTANTIATE_TEST_SUITE_P(
    BeyondLowerCase, Keys,
    testing::Values(KeyCase{"STRA\xE1\xBA\x9E"
                            "E",
                            "strasse"},
                    KeyCase{"\xCE\xA3\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x82",
                            "\xCF\x83\xCE\xAF\xCF\x83\xCF\x85\xCF\x86\xCE\xBF\xCF\x83"},
                    KeyCase{"\xE1\xBE\xBC", "\xCE\xB1\xCE\xB9"},
                    KeyCase{"\xC4\xB0stanbul", "i\xCC\x87stanbul"},
                    KeyCase{"\xE1\xB2\x80", "\xD0\xB2"}, KeyCase{"\xEA\xAD\xB0", "\xE1\x8E\xA0"}));

INSTANTIATE_TEST_SUITE_P(
    ClassesOfCharacters, Keys,
    testing::Values(KeyCase{"a\xE2\x89\xA0"
                            "b",
                            "a b"},
                    KeyCase{"a\xCB\x82"
                            "b",
                            "a b"},
                    KeyCase{"a\xF0\x9F\x8E\xB5"
                            "b",
                            "a b"},
                    KeyCase{"\xF0\x90\x8C\xB0\xF0\xA0\x80\x80", "\xF0\x90\x8C\xB0\xF0\xA0\x80\x80"},
                    KeyCase{"a\xC2\xAD"
                            "b\xE2\x80\x8B"
                            "c",
                            "abc"},
                    KeyCase{"\xD8\x80"
                            "1",
                            "\xD8\x80"
                            "1"},
                    KeyCase{"a\xCC\x81", "\xC3\xA1"},
                    KeyCase{"\xEF\xBC\xA1\xEF\xBF\xBF\xEF\xBC\xA1\xF4\x8F\xBF\xBF\xEF\xBC\xA1",
                            "a\xEF\xBF\xBF"
                            "a\xF4\x8F\xBF\xBF"
                            "a"},
                    KeyCase{"\xE0\xA4\x95\xE0\xA4\xBF", "\xE0\xA4\x95\xE0\xA4\xBF"}));

INSTANTIATE_TEST_SUITE_P(
    ScriptsKept, Keys,
    testing::Values(KeyCase{kArirang, kArirang},
                    KeyCase{"\xEC\x95\x84\xEB\xA6\xAC\xEB\x9E\x91 (Arirang)",
                            "\xEC\x95\x84\xEB\xA6\xAC\xEB\x9E\x91 arirang"},
                    // Conjoining jamo compose to the same syllables.
                    KeyCase{"\xE1\x84\x8B\xE1\x85\xA1\xE1\x84\x85\xE1\x85\xB5\xE1\x84\x85\xE1\x85"
                            "\xA1\xE1\x86\xBC",
                            kArirang},
                    // Half-width katakana widen.
                    KeyCase{"\xEF\xBD\xB6\xEF\xBE\x80", "\xE3\x82\xAB\xE3\x82\xBF"}));

INSTANTIATE_TEST_SUITE_P(BrokenUtf8, Keys,
                         testing::Values(KeyCase{"ab\xFF"
                                                 "cd",
                                                 "ab cd"},
                                         KeyCase{"\xC3", ""}));

TEST(MatchKey, AsciiGivesTheKeysOfTheGeneralPath) {
  // A letter past ASCII takes the name through ICU; without it, the same name must key the same.
  for (int c = 0; c < 0x80; ++c) {
    const std::string name = std::string("A") + static_cast<char>(c) + "b";
    EXPECT_EQ(MatchKey(name) + "\xC3\xA9", MatchKey(name + "\xC3\xA9")) << c;
  }
}

TEST(MatchKey, HugeNameStaysBounded) {
  const std::string huge(4U << 20U, 'A');
  const std::string key = MatchKey(huge);
  EXPECT_FALSE(key.empty());
  EXPECT_LE(key.size(), huge.size());
  EXPECT_EQ(key.find_first_not_of('a'), std::string::npos);
}

}  // namespace
}  // namespace talvo
