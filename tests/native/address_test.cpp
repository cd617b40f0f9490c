#include "address/address.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const std::string kShowPage =
    std::string("http://") + LyricsHost + "/kr/lyrics_plugin_show.html?title=";

constexpr char kGuard = '\x5a';
constexpr std::size_t kGuardBytes = 16;

// Encodes into exactly EncodedSize(n) bytes followed by guard bytes, so a write past the promised
// size shows up even where the sanitizer would not see it.
std::string Encode(const std::string& text) {
  const std::size_t size = EncodedSize(text.size());
  std::vector<char> out(size + kGuardBytes, kGuard);
  EXPECT_EQ(EncodeQueryText(text.c_str(), out.data()), out.data());
  EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(size), out.end(),
                          [](char c) { return c == kGuard; }))
      << "wrote past EncodedSize(" << text.size() << ")";
  const auto end = std::find(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size), '\0');
  EXPECT_NE(end, out.begin() + static_cast<std::ptrdiff_t>(size)) << "no NUL within the size";
  return std::string(out.begin(), end);
}

// Composes into a heap buffer of exactly the size the header promises, so ASan sees any overrun.
std::string Compose(const char* encTitle, const char* encSinger) {
  const std::size_t size =
      kShowPageFrame + std::strlen(encTitle) + (encSinger != nullptr ? std::strlen(encSinger) : 0);
  std::vector<char> dest(size);
  ShowPageAddress(dest.data(), encTitle, encSinger);
  EXPECT_EQ(std::strlen(dest.data()), size - 1);
  return dest.data();
}

// The rule, byte by byte: what a query value may carry as it stands.
std::string ExpectedFor(unsigned byte) {
  if (byte == ' ') return "+";
  const bool kept = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                    (byte >= 'a' && byte <= 'z') || byte == '@' || byte == '.';
  if (kept) return std::string(1, static_cast<char>(byte));
  char escaped[4];
  std::snprintf(escaped, sizeof escaped, "%%%02x", byte);
  return escaped;
}

struct EncodeRow {
  const char* text;
  const char* encoded;
};

TEST(EncodeQueryText, EncodesByTheRuleTable) {
  const EncodeRow rows[] = {
      {"Song Title", "Song+Title"},
      {"AC-DC", "AC%2dDC"},
      {"a_b", "a%5fb"},
      {"x~y", "x%7ey"},
      {"a@b.c", "a@b.c"},
      {"100%", "100%25"},
      {"R&B=1", "R%26B%3d1"},
      {"\xc7\xd1", "%c7%d1"},
      {"  ", "++"},
      {"", ""},
      {"a+b", "a%2bb"},  // a plus in the text must not read back as a space
      {"a*b/c", "a%2ab%2fc"},
      {"/:@[`{", "%2f%3a@%5b%60%7b"},  // the neighbours of the kept ranges
      {"\x7f\x80\xff", "%7f%80%ff"},
  };
  for (const EncodeRow& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(Encode(row.text), row.encoded);
  }
}

TEST(EncodeQueryText, EveryByteAlone) {
  for (unsigned byte = 0x01; byte <= 0xff; ++byte) {
    SCOPED_TRACE(byte);
    EXPECT_EQ(Encode(std::string(1, static_cast<char>(byte))), ExpectedFor(byte));
  }
}

TEST(EncodeQueryText, WorstCaseFillsEncodedSizeExactly) {
  std::string everyByte;
  std::string expected;
  for (unsigned byte = 0x01; byte <= 0xff; ++byte) {
    everyByte += static_cast<char>(byte);
    expected += ExpectedFor(byte);
  }
  EXPECT_EQ(Encode(everyByte), expected);

  const std::string escaped = Encode(std::string(2047, '\xff'));
  EXPECT_EQ(escaped.size(), EncodedSize(2047) - 1);
}

TEST(EncodeQueryText, NullTextWritesNothing) {
  char out[8];
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(EncodeQueryText(nullptr, out), nullptr);
  EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
}

struct AddressRow {
  const char* encTitle;
  const char* encSinger;
  const char* query;  // what follows "?title="
};

TEST(ShowPageAddress, ComposesBothKeysInOrder) {
  const AddressRow rows[] = {
      {"Night+Song", "Some+Band", "Night+Song&singer=Some+Band"},
      {"", "", "&singer="},
      {"abc", nullptr, "abc&singer="},
      {"", nullptr, "&singer="},
      {"%c7%d1", "R%26B", "%c7%d1&singer=R%26B"},
  };
  for (const AddressRow& row : rows) {
    SCOPED_TRACE(row.query);
    EXPECT_EQ(Compose(row.encTitle, row.encSinger), kShowPage + row.query);
  }
}

TEST(ShowPageAddress, FromSongTexts) {
  char title[EncodedSize(64)];
  char singer[EncodedSize(64)];
  EXPECT_EQ(Compose(EncodeQueryText("Night Song", title), EncodeQueryText("Some Band", singer)),
            std::string("http://") + LyricsHost +
                "/kr/lyrics_plugin_show.html?title=Night+Song&singer=Some+Band");
  EXPECT_EQ(Compose(EncodeQueryText("Some Band - Night Song", title), nullptr),
            kShowPage + "Some+Band+%2d+Night+Song&singer=");
}

TEST(IndexPageAddress, IsTheIndexPageOnTheLyricsHost) {
  EXPECT_EQ(std::string(IndexPageAddress),
            std::string("http://") + LyricsHost + "/kr/lyrics_plugin_index.html");
}

}  // namespace
