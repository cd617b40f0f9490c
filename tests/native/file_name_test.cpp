#include "watcher/file_name.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string NameOf(std::size_t length, char fill = 'n') {
  return "/m/" + std::string(length - 3, fill);
}

TEST(FileName, KeepsNamesOfAnyLengthWhole) {
  for (const std::size_t length : {3u, 255u, 256u, 300u, 5000u}) {
    SCOPED_TRACE(length);
    FileName name;
    const std::string text = NameOf(length);
    ASSERT_TRUE(name.Assign(text.c_str()));
    EXPECT_EQ(std::string(name.c_str()), text);
    EXPECT_GT(name.capacity(), length);
    // Names that fit the fixed storage stay there.
    if (length < FileName::kFixedSize) {
      EXPECT_EQ(name.capacity(), FileName::kFixedSize);
    }
  }
}

TEST(FileName, ShorterNamesReuseTheGrownBuffer) {
  FileName name;
  ASSERT_TRUE(name.Assign(NameOf(300).c_str()));
  const std::size_t grown = name.capacity();
  const char* storage = name.c_str();
  ASSERT_TRUE(name.Assign("/m/short.mp3"));
  EXPECT_STREQ(name.c_str(), "/m/short.mp3");
  ASSERT_TRUE(name.Assign(NameOf(300, 'o').c_str()));
  EXPECT_EQ(std::string(name.c_str()), NameOf(300, 'o'));
  EXPECT_EQ(name.capacity(), grown);
  EXPECT_EQ(name.c_str(), storage);
}

TEST(FileName, ReserveKeepsTheText) {
  FileName name;
  ASSERT_TRUE(name.Assign("/m/a.mp3"));
  ASSERT_TRUE(name.Reserve(4000));
  EXPECT_GT(name.capacity(), 4000u);
  EXPECT_STREQ(name.c_str(), "/m/a.mp3");
}

struct EqualsRow {
  std::string stored;
  std::string other;
  bool equal;
};

TEST(FileName, EqualsComparesEveryByteWithCase) {
  const EqualsRow rows[] = {
      {"/m/a.mp3", "/m/a.mp3", true},
      {"/m/a.mp3", "/m/A.mp3", false},
      {"/m/a.mp3", "/m/a.mp3 ", false},
      {"/m/a.mp3 ", "/m/a.mp3", false},
      {"", "", true},
      {"", "/m/a.mp3", false},
      // A copy cut at the fixed size would take these two for one file.
      {NameOf(300) + "1", NameOf(300) + "2", false},
      {NameOf(5000), NameOf(5000), true},
  };
  for (const EqualsRow& row : rows) {
    SCOPED_TRACE(row.stored.substr(0, 40) + " / " + row.other.substr(0, 40));
    FileName name;
    ASSERT_TRUE(name.Assign(row.stored.c_str()));
    EXPECT_EQ(name.Equals(row.other.c_str()), row.equal);
  }
}

}  // namespace
