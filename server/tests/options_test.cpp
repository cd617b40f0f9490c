#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line.h"

namespace talvo {
namespace {

struct QuotingCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string line;
};

void PrintTo(const QuotingCase& c, std::ostream* os) {
  *os << c.name;
}

class WindowsQuoting : public testing::TestWithParam<QuotingCase> {};

// What CommandLineToArgvW reads back as the arguments given: a shortcut's arguments are one line.
TEST_P(WindowsQuoting, ReadsBackAsGiven) {
  EXPECT_EQ(WindowsCommandLine(GetParam().arguments), GetParam().line);
}

const QuotingCase kQuoting[] = {
    {"plain", {"--library", "D:\\Music"}, R"(--library D:\Music)"},
    {"none", {}, ""},
    {"empty", {"--db", ""}, R"(--db "")"},
    {"spaces", {"D:\\My Music"}, R"("D:\My Music")"},
    {"tab", {"a\tb"}, "\"a\tb\""},
    {"quote", {R"(say "hi")"}, R"("say \"hi\"")"},
    {"quote_without_spaces", {R"(a"b)"}, R"("a\"b")"},
    {"backslashes_before_a_quote", {R"(a\\"b)"}, R"("a\\\\\"b")"},
    {"backslash_at_the_end_quoted", {"D:\\My Music\\"}, R"("D:\My Music\\")"},
    {"backslashes_at_the_end_unquoted", {R"(D:\Music\\)"}, R"(D:\Music\\)"},
    {"backslashes_inside_quoted", {R"(\\server\my share\x)"}, R"("\\server\my share\x")"},
    {"utf8_passes", {"D:\\Müsik ♪"}, "\"D:\\Müsik ♪\""},
};

INSTANTIATE_TEST_SUITE_P(Options, WindowsQuoting, testing::ValuesIn(kQuoting),
                         [](const auto& test) { return std::string(test.param.name); });

// The shortcut runs the program with the rest of the line, values and order kept.
TEST(StartupOptions, KeepEverythingButTheInstallOption) {
  const std::vector<const char*> argv = {"server", "--library",         "A",
                                         "B",      "--install-startup", "--db",
                                         "x.db",   "--rescan-interval", "60"};
  std::string error;
  const auto options = ParseOptions(static_cast<int>(argv.size()), argv.data(), error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->startup, Options::Startup::kInstall);
  EXPECT_EQ(
      options->startupArguments,
      (std::vector<std::string>{"--library", "A", "B", "--db", "x.db", "--rescan-interval", "60"}));
}

}  // namespace
}  // namespace talvo
