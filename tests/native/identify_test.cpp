#include "identify/identify.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_host/fake_host.h"

namespace {

namespace fs = std::filesystem;

// A field as it sits in the block: text, then padding up to its 30 bytes.
std::string Field(const std::string& text, char pad = '\0') {
  return text + std::string(30 - text.size(), pad);
}

std::string Block(const std::string& marker, const std::string& title = Field("Night Song"),
                  const std::string& artist = Field("Some Band")) {
  return marker + title + artist + std::string(65, 'r');
}

class TagFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "/talvo-tag-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    // A sentinel: a file without a tag must leave the last block read alone.
    std::memset(&tagBlock, 0x11, sizeof tagBlock);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    return path.string();
  }

  fs::path dir_;
};

bool TagBlockIsSentinel() {
  const std::vector<char> sentinel(sizeof tagBlock, 0x11);
  return std::memcmp(&tagBlock, sentinel.data(), sizeof tagBlock) == 0;
}

struct TrimRow {
  const char* why;
  std::string field;
  std::string trimmed;
};

TEST_F(TagFile, TrimsOnlySpacesThatReachTheLastByte) {
  const TrimRow rows[] = {
      {"trailing spaces", Field("Hello", ' '), Field("Hello")},
      {"first byte stays", std::string(30, ' '), Field(" ")},
      {"a NUL stops the trim", Field("Hello  "), Field("Hello  ")},
      {"no NUL at all", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd"},
      {"inner spaces stay", Field("a b", ' '), Field("a b")},
      {"last byte not a space", Field("Hello", ' ').substr(0, 29) + "x",
       Field("Hello", ' ').substr(0, 29) + "x"},
      {"high bytes stay", Field("\xc7\xd1", ' '), Field("\xc7\xd1")},
      {"all NULs", Field(""), Field("")},
  };
  for (const TrimRow& row : rows) {
    SCOPED_TRACE(row.why);
    // Each field in turn, the other one distinct, so a mix-up of offsets shows.
    ASSERT_EQ(ReadTagBlock(Write("t.mp3", Block("TAG", row.field, Field("Other"))).c_str()), 1);
    EXPECT_EQ(std::string(tagBlock.TagTitle, 30), row.trimmed);
    EXPECT_EQ(std::string(tagBlock.TagArtist, 30), Field("Other"));
    ASSERT_EQ(ReadTagBlock(Write("a.mp3", Block("TAG", Field("Other"), row.field)).c_str()), 1);
    EXPECT_EQ(std::string(tagBlock.TagTitle, 30), Field("Other"));
    EXPECT_EQ(std::string(tagBlock.TagArtist, 30), row.trimmed);
  }
}

struct ContentRow {
  const char* why;
  std::string bytes;
  int tag;
};

TEST_F(TagFile, FindsTheBlockOnlyInTheLast128Bytes) {
  const ContentRow rows[] = {
      {"exactly 128 bytes", Block("TAG"), 1},
      {"marker in lower case", Block("tag"), 0},
      {"marker in mixed case", Block("TAg"), 0},
      {"127 bytes beginning TAG", Block("TAG").substr(0, 127), 0},
      {"empty file", "", 0},
      {"block at the end of a larger file", std::string(1000, 'x') + Block("TAG"), 1},
      {"one byte before the block", "x" + Block("TAG"), 1},
      {"block one byte short of the end", Block("TAG") + "x", 0},
      {"block at the start only", Block("TAG") + std::string(172, 'y'), 0},
  };
  for (const ContentRow& row : rows) {
    SCOPED_TRACE(row.why);
    std::memset(&tagBlock, 0x11, sizeof tagBlock);
    EXPECT_EQ(ReadTagBlock(Write("song.mp3", row.bytes).c_str()), row.tag);
    if (row.tag == 1) {
      EXPECT_EQ(std::string(tagBlock.TagTitle, 30), Field("Night Song"));
      EXPECT_EQ(std::string(tagBlock.TagArtist, 30), Field("Some Band"));
    } else {
      EXPECT_TRUE(TagBlockIsSentinel());
    }
  }
}

TEST_F(TagFile, NamesThatAreNotReadableFilesHaveNoTag) {
  const fs::path fifo = dir_ / "pipe.mp3";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const fs::path folder = dir_ / "album.mp3";
  fs::create_directory(folder);
  const std::string names[] = {(dir_ / "absent.mp3").string(), folder.string(), fifo.string(),
                               "/dev/null", ""};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    // A FIFO without a writer: a reader that waits for one never comes back.
    EXPECT_EQ(ReadTagBlock(name.c_str()), 0);
  }
  EXPECT_EQ(ReadTagBlock(nullptr), 0);
  EXPECT_TRUE(TagBlockIsSentinel());
}

struct CaptionRow {
  std::string caption;
  std::string text;
};

// The same rows serve the in-place cut and the read through the player.
const CaptionRow kCaptionRows[] = {
    {"Artist - Song - Winamp", "Artist - Song"},
    {"Song - WINAMP", "Song"},
    {"Song   - Winamp more text", "Song"},
    {"Song- Winamp", "Song"},
    {"a - Winamp - Winamp", "a - Winamp"},
    {"- Winamp", ""},
    {"- Winamp Song", ""},
    {"   - Winamp", ""},
    {"Song", ""},
    {"", ""},
    {"- Winam", ""},     // 7 bytes
    {"- wINAMP", ""},    // 8 bytes, the marker alone
    {"a- Winamp", "a"},  // 9 bytes
    {"Song1234", ""},    // 8 bytes, no marker
    {"Song -  Winamp", ""},
    {"Song\t- Winamp", "Song\t"},  // only spaces are stepped over
    {"\xc7\xd1 \xb1\xdb - Winamp", "\xc7\xd1 \xb1\xdb"},
    {"Song - W\xddnamp", ""},  // a letter's look-alike in another code page is not a letter
    {"Song - Win\xc1mp", ""},
    {"Song \r Winamp", ""},  // folding by setting bit 5 would turn CR into '-'
};

TEST(CutCaption, CutsBeforeTheLastMarker) {
  for (const CaptionRow& row : kCaptionRows) {
    SCOPED_TRACE(row.caption);
    // Exactly the caption's bytes on the heap, so a read before or past them is caught.
    std::vector<char> buffer(row.caption.begin(), row.caption.end());
    buffer.push_back('\0');
    EXPECT_EQ(CutCaption(buffer.data()), buffer.data());
    EXPECT_EQ(std::string(buffer.data()), row.text);
  }
}

TEST(CaptionSongText, ReadsTheCaptionOnceAndCutsIt) {
  std::vector<CaptionRow> rows(std::begin(kCaptionRows), std::end(kCaptionRows));
  rows.push_back({std::string(2039, 'x') + "- Winamp", std::string(2039, 'x')});  // 2047 bytes
  // The player hands over 2047 bytes at most: the marker's last letter falls off.
  rows.push_back({std::string(2040, 'x') + "- Winamp", ""});
  rows.push_back({"Song - Winamp" + std::string(3000, 'z'), "Song"});
  rows.push_back({std::string(2100, 'y'), ""});
  for (const CaptionRow& row : rows) {
    SCOPED_TRACE(row.caption.substr(0, 40));
    FakeHost host;
    host.caption = row.caption;
    EXPECT_EQ(std::string(CaptionSongText(host.window())), row.text);
    ASSERT_EQ(host.seen.size(), 1u);
    EXPECT_EQ(host.seen[0].msg, WM_GETTEXT);
    EXPECT_EQ(host.seen[0].wParam, kCaptionSize);
  }
}

}  // namespace
