#include "http/query.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace talvo {
namespace {

// The plugin's form: space as '+', [0-9A-Za-z@.] as they are, every other byte as "%xx".
std::string PluginEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == ' ') {
      out.push_back('+');
    } else if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '@' || c == '.') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4U]);
      out.push_back(kHex[byte & 0xFU]);
    }
  }
  return out;
}

TEST(DecodeQueryValue, EveryByteRoundTripsFromThePluginForm) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    std::string decoded = "stale";
    ASSERT_TRUE(DecodeQueryValue(PluginEncode(one), decoded)) << b;
    EXPECT_EQ(decoded, one) << b;
    all += one;
  }
  std::string decoded;
  ASSERT_TRUE(DecodeQueryValue(PluginEncode(all), decoded));
  EXPECT_EQ(decoded, all);
}

struct DecodeCase {
  std::string_view encoded;
  std::string_view decoded;
};

class DecodeWellFormed : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeWellFormed, GivesTheBytes) {
  std::string out = "stale";
  ASSERT_TRUE(DecodeQueryValue(GetParam().encoded, out));
  EXPECT_EQ(out, GetParam().decoded);
}

INSTANTIATE_TEST_SUITE_P(
    PlusAndHexInEitherCase, DecodeWellFormed,
    testing::Values(DecodeCase{"", ""}, DecodeCase{"a+b", "a b"}, DecodeCase{"%2b", "+"},
                    DecodeCase{"%2B%2b+", "++ "}, DecodeCase{"%c3%A9", "\xC3\xA9"},
                    DecodeCase{"%Be%c6", "\xBE\xC6"},
                    DecodeCase{"%00x", std::string_view("\0x", 2)}, DecodeCase{"%25", "%"},
                    DecodeCase{"%2541", "%41"},
                    // Bytes the plugin never leaves bare are still taken as they come.
                    DecodeCase{"a b/c~", "a b/c~"}));

class DecodeMalformed : public testing::TestWithParam<std::string_view> {};

TEST_P(DecodeMalformed, IsRejected) {
  std::string out;
  EXPECT_FALSE(DecodeQueryValue(GetParam(), out)) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(PercentWithoutTwoHexDigits, DecodeMalformed,
                         testing::Values("%", "%4", "%zz", "%4g", "%g4", "abc%", "abc%4", "% 41",
                                         "%%41", "%+4", "ok%0", "%-1", "%x41"));

TEST(ParseQuery, SplitsThePluginAddress) {
  QueryFields fields;
  ASSERT_TRUE(ParseQuery("title=12.+AC%2fDC+%2d+Back&singer=", fields));
  ASSERT_EQ(fields.size(), 2U);
  EXPECT_EQ(FieldValue(fields, "title"), "12. AC/DC - Back");
  EXPECT_EQ(fields[1].first, "singer");
  EXPECT_EQ(FieldValue(fields, "singer"), "");
}

TEST(ParseQuery, FieldShapes) {
  QueryFields fields;
  ASSERT_TRUE(ParseQuery("&&a=b=c&&flag&ti%74le=x&a=second&", fields));
  ASSERT_EQ(fields.size(), 4U);
  EXPECT_EQ(FieldValue(fields, "a"), "b=c");  // split at the first '=', first field wins
  EXPECT_EQ(fields[1].first, "flag");
  EXPECT_EQ(fields[1].second, "");
  EXPECT_EQ(FieldValue(fields, "title"), "x");  // keys are decoded too
  EXPECT_EQ(FieldValue(fields, "missing"), "");
  EXPECT_EQ(FieldValue(fields, "A"), "");
}

TEST(ParseQuery, RejectsAnyMalformedField) {
  QueryFields fields;
  EXPECT_FALSE(ParseQuery("title=ok&singer=%4g", fields));
  EXPECT_FALSE(ParseQuery("ti%tle=ok", fields));
  EXPECT_FALSE(ParseQuery("title=ok%", fields));
  ASSERT_TRUE(ParseQuery("", fields));
  EXPECT_TRUE(fields.empty());
}

}  // namespace
}  // namespace talvo
