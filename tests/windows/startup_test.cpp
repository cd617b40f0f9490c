// Start-up and shut-down of the real plugin inside the stand-in player: the two browser
// requests, the take-over of the main window's procedure, a second init, config and quit, and
// the player freeing the library while its window lives on.
#include "player_fixture.h"
#include "sandbox.h"

namespace {

// The two start-up requests as the player handles them, nothing playing.
std::vector<std::string> StartRequests() {
  return {"query playing -> 0", "browser open", "query playing -> 0", "browser {index}",
          "pumped 2"};
}

std::vector<LogRow> LifecycleRows() {
  const std::vector<std::string> startup = Cat({{"init -> 0"}, StartRequests()});
  const std::string taggedDebug = std::string("debug ") + kTaggedPage;
  const std::string taggedBrowser = std::string("browser ") + kTaggedPage;
  const std::string plainPage = "{show}?title=2.+Other+Band+%2d+Day+Song&singer=";
  return {
      {"InitPostsTheBrowserThenTheIndexPageAndSendsNothing",
       {"init", "pump", "pump"},
       Cat({startup, {"pumped 0"}})},
      {"SongAlreadyPlayingOpensItsPageWithTheFirstRequest",
       {kAddTagged, "play 1", "init", "pump"},
       Cat({{"init -> 0"},
            Checked(0, "night.mp3"),
            {taggedDebug, "browser open"},
            Checked(0, "night.mp3"),
            {"browser {index}"},
            Checked(0, "night.mp3"),
            {taggedBrowser, "pumped 3"}})},
      {"InitTakesOverTheProcedure",
       {"procedure", "init", "procedure"},
       {"procedure player", "init -> 0", "procedure {plugin}"}},
      {"SecondInitRequestsAgainButWatchesOnce",
       {"init", "pump", "init", "procedure", "pump", kAddTagged, "play 1", "send WM_COMMAND 1 2"},
       Cat({startup,
            {"init -> 0", "procedure {plugin}"},
            StartRequests(),
            Checked(0, "night.mp3"),
            {taggedDebug, "message 0x0111 1 2 -> 0", "sent 0x0111 1 2 -> 0"}})},
      {"ConfigAndQuitLeaveTheWatcherInPlace",
       {"init", "pump", "config", "quit", "procedure", kAddTagged, "play 1", "send WM_COMMAND 1 2",
        "pump"},
       Cat({startup,
            {"config", "quit", "procedure {plugin}"},
            Checked(0, "night.mp3"),
            {taggedDebug, "message 0x0111 1 2 -> 0", "sent 0x0111 1 2 -> 0"},
            Checked(0, "night.mp3"),
            {taggedBrowser, "pumped 1"}})},
      // The player frees the library but its window lives on: the watcher and the address a
      // posted request points to must still be there.
      {"FreedPluginStillWatchesAndOpensPages",
       {"init", "pump", kAddTagged, "play 1", "quit", "free", "procedure", "send WM_COMMAND 1 2",
        "pump", "post WM_TIMER 3 0", "pump", kAddPlain, "play 2", "send WM_NULL 0 0", "pump"},
       Cat({startup,
            {"quit", "free -> 1", "procedure {plugin}"},
            Checked(0, "night.mp3"),
            {taggedDebug, "message 0x0111 1 2 -> 0", "sent 0x0111 1 2 -> 0"},
            Checked(0, "night.mp3"),
            {taggedBrowser, "pumped 1", "posted 0x0113 3 0"},
            Checked(0, "night.mp3"),
            {"message 0x0113 3 0 -> 0", "pumped 1"},
            Checked(1, "plain.mp3"),
            {"caption -> 2. Other Band - Day Song - Winamp", "debug " + plainPage,
             "message 0x0000 0 0 -> 0", "sent 0x0000 0 0 -> 0"},
            Checked(1, "plain.mp3"),
            {"browser " + plainPage, "pumped 1"}})},
  };
}

class Lifecycle : public PlayerTest, public testing::WithParamInterface<LogRow> {};

TEST_P(Lifecycle, LogsWhatThePlayerSaw) {
  EXPECT_EQ(Join(Run(GetParam().commands)), Join(ExpandHere(GetParam().log)));
}

INSTANTIATE_TEST_SUITE_P(Startup, Lifecycle, testing::ValuesIn(LifecycleRows()), RowName);

using StartupTest = PlayerTest;

LONG_PTR Procedure(HWND window) {
  return GetWindowLongPtrA(window, GWLP_WNDPROC);
}

HMODULE ModuleAt(LONG_PTR address) {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(address), &module);
  return module;
}

TEST_F(StartupTest, TakeOverPutsAProcedureOfThePluginInFrontOnce) {
  const LONG_PTR own = Procedure(player_.window());
  ASSERT_EQ(own, reinterpret_cast<LONG_PTR>(Player::OwnProcedure()));
  ASSERT_EQ(player_.Init(), 0);
  const LONG_PTR watcher = Procedure(player_.window());
  EXPECT_NE(watcher, own);
  EXPECT_EQ(ModuleAt(watcher), player_.plugin().hDllInstance);
  ASSERT_EQ(player_.Init(), 0);
  EXPECT_EQ(Procedure(player_.window()), watcher) << "a second init took over again";
}

TEST_F(StartupTest, FileQueryAnswerPassesThroughAsThePlayersOwnPointer) {
  Run({"init", "pump", kAddTagged, "play 1"});
  const LRESULT direct =
      CallWindowProcA(Player::OwnProcedure(), player_.window(), WM_WA_IPC, 0, IPC_GETPLAYLISTFILE);
  ASSERT_NE(direct, 0);
  EXPECT_EQ(SendMessageA(player_.window(), WM_WA_IPC, 0, IPC_GETPLAYLISTFILE), direct);
}

TEST_F(StartupTest, DescriptorIsOneRecordTheDllKeeps) {
  const auto get = reinterpret_cast<GetGeneralPurposePluginProc>(reinterpret_cast<void (*)()>(
      GetProcAddress(player_.plugin().hDllInstance, kPluginExportName)));
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(get(), &player_.plugin());
  EXPECT_EQ(get(), get());
  EXPECT_EQ(player_.plugin().version, 0x10);
  ASSERT_NE(player_.plugin().description, nullptr);
  EXPECT_EQ(std::string(player_.plugin().description).rfind("Talvo Lyrics WinAmp Viewer by ", 0),
            0U);
  EXPECT_EQ(player_.plugin().hwndParent, player_.window()) << "the record is not read in place";
}

TEST_F(StartupTest, FreedPluginStaysMapped) {
  Run({"init", "pump", "quit", "free"});
  EXPECT_NE(GetModuleHandleA(Sandbox::Get().Path(pluginName()).c_str()), nullptr);
}

}  // namespace
