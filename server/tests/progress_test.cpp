#include "app/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace talvo {
namespace {

void DrawBar(std::FILE* stream, std::size_t total) {
  ProgressBar bar(stream);
  for (std::size_t done = 0; done <= total; ++done) bar(done, total);
  bar.Finish();
  std::fflush(stream);
}

TEST(ProgressBar, SilentWhenNotATerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  DrawBar(file, 5000);
  EXPECT_EQ(std::ftell(file), 0);
  std::fclose(file);
}

class TerminalTest : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    char name[256] = {};
    ASSERT_EQ(ptsname_r(master_, name, sizeof name), 0);
    terminal_ = std::fopen(name, "w");
    ASSERT_NE(terminal_, nullptr);
  }
  void TearDown() override {
    if (terminal_ != nullptr) std::fclose(terminal_);
    if (master_ >= 0) close(master_);
  }
  std::string Drawn() const {
    std::string text;
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(master_, buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }
  int master_ = -1;
  std::FILE* terminal_ = nullptr;
};

TEST_F(TerminalTest, DrawsInPlaceAndEndsTheLine) {
  DrawBar(terminal_, 5000);
  const std::string text = Drawn();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.front(), '\r');
  EXPECT_NE(text.find("[" + std::string(30, '#') + "] 5000/5000 files"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
  // Redrawn per percent at most, never per file.
  const auto redraws = std::count(text.begin(), text.end(), '\r');
  EXPECT_GE(redraws, 2);
  EXPECT_LE(redraws, 102);
}

TEST_F(TerminalTest, SilentForAShortScan) {
  DrawBar(terminal_, 50);
  EXPECT_EQ(Drawn(), "");
}

}  // namespace
}  // namespace talvo
