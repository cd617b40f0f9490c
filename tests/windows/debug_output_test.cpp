// The plugin's debugger output, taken as a debugger takes it: the stand-in player runs as a child
// of this test under its debugging, and every OutputDebugStringA text is collected.
#include "child.h"
#include "player_fixture.h"
#include "sandbox.h"

namespace {

TEST(DebugOutput, IsOneLinePerPageEqualToItsAddress) {
  if (const std::string why = WhyNoDebugger(); !why.empty()) GTEST_SKIP() << why;
  const Sandbox& sandbox = Sandbox::Get();
  ASSERT_TRUE(
      sandbox.Write("night.mp3", std::string(400, '\xff') + Id3v1Block("Night Song", "Some Band")));
  ASSERT_TRUE(sandbox.Write("plain.mp3", std::string(400, '\xff')));
  std::vector<std::string> arguments = {"--plugin", BesideProgram("gen_talvolyrics.dll")};
  for (const char* command :
       {"init", "pump", kAddTagged, kAddPlain, "play 1", "send WM_COMMAND 0 0", "pump",
        "send WM_COMMAND 0 0", "play 2", "send WM_COMMAND 0 0", "pump", "play 1", "pump",
        "send WM_COMMAND 0 0", "pump"}) {
    arguments.push_back(Expand(command));
  }

  const ChildRun run =
      RunChild(BesideProgram("standin-host.exe"), arguments, sandbox.folder(), true);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0U) << run.errors;

  const std::vector<std::string> pages = {Expand(kTaggedPage),
                                          Expand("{show}?title=2.+Other+Band+%2d+Day+Song&singer="),
                                          Expand(kTaggedPage)};
  EXPECT_EQ(Join(run.debugOutput), Join(pages));
  std::vector<std::string> opened;
  for (const std::string& line : Only(run.out, {"browser"})) {
    if (line != "browser open" && line != std::string("browser ") + kIndexPage)
      opened.push_back(line.substr(8));
  }
  EXPECT_EQ(Join(opened), Join(pages)) << "each page written is also opened";
}

}  // namespace
