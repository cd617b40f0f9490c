// The expansion hook, seen from outside: the stand-in player runs as a program from a folder of
// its own, with a test module as plugins\TalvoLyricsExpand1.dll beside it, or planted under the
// current folder instead, or with none.
#include "child.h"
#include "player_fixture.h"
#include "sandbox.h"

namespace {

constexpr char kExpansion[] = "plugins\\TalvoLyricsExpand1.dll";

struct ExpansionRow {
  const char* name;
  const char* besideProgram;  // test module put under the program's folder, or none
  const char* planted;        // test module put under the current folder, or none
  std::vector<std::string> log;
};

void PrintTo(const ExpansionRow& row, std::ostream* out) {
  *out << row.name;
}

std::vector<std::string> Commands() {
  return {"procedure",
          "init",
          "procedure",
          "module TalvoLyricsExpand1.dll",
          "quit",
          "free",
          "module TalvoLyricsExpand1.dll"};
}

std::vector<ExpansionRow> ExpansionRows() {
  const std::vector<std::string> withoutModule = {
      "procedure player",
      "init -> 0",
      "procedure gen_talvolyrics.dll",
      "module TalvoLyricsExpand1.dll absent",
      "quit",
      "free -> 1",
      "module TalvoLyricsExpand1.dll absent",
  };
  return {
      {"RunIsCalledOnceBeforeTheTakeOver",
       "expansion_with_run.dll",
       nullptr,
       {"procedure player", "expansion loaded", "expansion Run (procedure: standin-host.exe)",
        "init -> 0", "procedure gen_talvolyrics.dll", "module TalvoLyricsExpand1.dll loaded",
        "quit", "free -> 1", "module TalvoLyricsExpand1.dll loaded"}},
      {"ModuleWithoutRunIsLoadedAndKept",
       "expansion_without_run.dll",
       nullptr,
       {"procedure player", "expansion loaded", "init -> 0", "procedure gen_talvolyrics.dll",
        "module TalvoLyricsExpand1.dll loaded", "quit", "free -> 1",
        "module TalvoLyricsExpand1.dll loaded"}},
      {"NoModuleStartsAlike", nullptr, nullptr, withoutModule},
      // Any folder the user browses could be current: code planted there must not run.
      {"CopyUnderTheCurrentFolderIsNotLoaded", nullptr, "expansion_with_run.dll", withoutModule},
  };
}

class Expansion : public testing::TestWithParam<ExpansionRow> {};

TEST_P(Expansion, ComesOnlyFromTheProgramsFolder) {
  const ExpansionRow& row = GetParam();
  const Sandbox& sandbox = Sandbox::Get();
  const std::string program = std::string(row.name) + "\\program\\";
  const std::string current = std::string(row.name) + "\\current\\";
  ASSERT_TRUE(sandbox.Copy(BesideProgram("standin-host.exe"), program + "standin-host.exe"));
  ASSERT_TRUE(sandbox.Copy(BesideProgram("gen_talvolyrics.dll"), program + "gen_talvolyrics.dll"));
  ASSERT_TRUE(sandbox.MakeFolder(current));
  if (row.besideProgram != nullptr) {
    ASSERT_TRUE(sandbox.Copy(BesideProgram(row.besideProgram), program + kExpansion));
  }
  if (row.planted != nullptr) {
    ASSERT_TRUE(sandbox.Copy(BesideProgram(row.planted), current + kExpansion));
  }

  std::vector<std::string> arguments = {"--plugin", sandbox.Path(program + "gen_talvolyrics.dll")};
  const std::vector<std::string> commands = Commands();
  arguments.insert(arguments.end(), commands.begin(), commands.end());
  const ChildRun run =
      RunChild(sandbox.Path(program + "standin-host.exe"), arguments, sandbox.Path(current));
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0U) << run.errors;
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.front().rfind("load ", 0), 0U) << run.out.front();
  EXPECT_EQ(Join({run.out.begin() + 1, run.out.end()}), Join(row.log));
}

INSTANTIATE_TEST_SUITE_P(Startup, Expansion, testing::ValuesIn(ExpansionRows()),
                         [](const testing::TestParamInfo<ExpansionRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
