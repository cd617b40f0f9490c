// The stand-in player itself, which the other tests trust: its script language, its answers to
// the plugin's queries and its exit status as a program.
#include "child.h"
#include "player_fixture.h"
#include "sandbox.h"

namespace {

struct ParseRow {
  const char* text;
  const char* error;  // empty: the command parses
};

void PrintTo(const ParseRow& row, std::ostream* out) {
  *out << '"' << row.text << '"';
}

const ParseRow kParses[] = {
    {R"(add C:\a.mp3)", ""},
    {R"(add "C:\My Music\a.mp3" Band - Song)", ""},
    {"send WM_WA_IPC 0 IPC_ISPLAYING", ""},
    {"send 0x0111 0xffffffff -1", ""},
    {"caption", ""},
    {"  pump", ""},
    {"", "unknown command ''"},
    {"plya 1", "unknown command 'plya'"},
    {"Play 1", "unknown command 'Play'"},
    {"play", "play: needs playlist entry"},
    {"play 0", "play: entries count from 1"},
    {"play x", "play: 'x' is not a playlist entry"},
    {"play 1 2", "play: unexpected '2'"},
    {"play +1", "play: '+1' is not a playlist entry"},
    {"send 1 2", "send: needs lParam"},
    {"send 1 2 3 4", "send: unexpected '4'"},
    {"send 0x100000000 0 0", "send: '0x100000000' is not a message number"},
    {"post 1 -2 0", "post: '-2' is not a wParam"},
    {"send 1 0x 0", "send: '0x' is not a wParam"},
    {"gettext 65537", "gettext: buffer size over 65536"},
    {"add", "add: needs a FILE"},
    {R"(add "C:\a.mp3)", "add: no closing quote"},
    {R"(add "C:\a".mp3)", "add: text right after a closing quote"},
    {"module", "module: needs a module NAME"},
    {"pump now", "pump: unexpected 'now'"},
    {"init 1", "init: unexpected '1'"},
};

class Parse : public testing::TestWithParam<ParseRow> {};

TEST_P(Parse, AcceptsOnlyWellFormedCommands) {
  Command command;
  std::string error;
  const bool parsed = ParseCommand(GetParam().text, command, error);
  EXPECT_EQ(parsed, *GetParam().error == '\0') << error;
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Standin, Parse, testing::ValuesIn(kParses));

TEST(StandinParse, KeepsFileAndCaptionTextAsWritten) {
  Command command;
  std::string error;
  ASSERT_TRUE(ParseCommand(R"(add "C:\My Music\a.mp3"   Band  -  Song )", command, error));
  EXPECT_EQ(command.name, R"(C:\My Music\a.mp3)");
  EXPECT_EQ(command.entryText, "Band  -  Song ");
  ASSERT_TRUE(ParseCommand(R"(add C:\music\Night Song.mp3)", command, error));
  EXPECT_EQ(command.name, R"(C:\music\Night)");
  ASSERT_TRUE(ParseCommand(R"(add C:\music\night.song.mp3)", command, error));
  EXPECT_EQ(command.entryText, "night.song") << "the caption text is the name without extension";
  ASSERT_TRUE(ParseCommand("caption   Song   - Winamp ", command, error));
  EXPECT_EQ(command.name, "Song   - Winamp ");
  ASSERT_TRUE(ParseCommand("send WM_WA_IPC 0x10 -5", command, error));
  EXPECT_EQ(command.msg, 0x400U);
  EXPECT_EQ(command.wParam, 16U);
  EXPECT_EQ(command.lParam, -5);
}

TEST(StandinParse, ScriptErrorsNameTheLine) {
  std::vector<Command> commands;
  std::string error;
  EXPECT_TRUE(ParseScript("# a comment\r\n\r\n  pump\r\ninit\n", commands, error)) << error;
  EXPECT_EQ(commands.size(), 2U);
  commands.clear();
  EXPECT_FALSE(ParseScript("pump\n\nplay two\npump\n", commands, error));
  EXPECT_EQ(error, "line 3: play: 'two' is not a playlist entry");
}

// Without a plugin every message reaches the player's own procedure directly.
TEST(StandinPlayer, AnswersTheQueriesFromItsPlaylist) {
  EventLog log;
  Player player(log);
  ASSERT_TRUE(player.created());
  ScriptRunner runner(player, log, true);
  std::string error;
  for (const char* text :
       {R"(add C:\a.mp3 Band - Song)", R"(add C:\b.mp3)", "play 2", "answer 9",
        "send WM_WA_IPC 0 IPC_ISPLAYING", "send WM_WA_IPC 0 IPC_GETLISTPOS",
        "send WM_WA_IPC 1 IPC_GETPLAYLISTFILE", "send WM_WA_IPC 2 IPC_GETPLAYLISTFILE", "gettext 5",
        "pause", "send WM_WA_IPC 0 IPC_ISPLAYING", "caption Other - Winamp", "gettext 100",
        "post WM_WA_IPC 0 IPC_MBOPEN", "send WM_COMMAND 1 2", "pump", "procedure"}) {
    Command command;
    ASSERT_TRUE(ParseCommand(text, command, error)) << error;
    ASSERT_TRUE(runner.Run(command, error)) << text << ": " << error;
  }
  EXPECT_EQ(Join(log.lines()), Join({
                                   R"(> add C:\a.mp3 Band - Song)",
                                   R"(> add C:\b.mp3)",
                                   "> play 2",
                                   "> answer 9",
                                   "> send WM_WA_IPC 0 IPC_ISPLAYING",
                                   "query playing -> 1",
                                   "sent 0x0400 0 104 -> 1",
                                   "> send WM_WA_IPC 0 IPC_GETLISTPOS",
                                   "query position -> 1",
                                   "sent 0x0400 0 125 -> 1",
                                   "> send WM_WA_IPC 1 IPC_GETPLAYLISTFILE",
                                   R"(query file 1 -> C:\b.mp3)",
                                   R"(sent 0x0400 1 211 -> C:\b.mp3)",
                                   "> send WM_WA_IPC 2 IPC_GETPLAYLISTFILE",
                                   "query file 2 -> null",
                                   "sent 0x0400 2 211 -> null",
                                   "> gettext 5",
                                   "caption -> 2. b",
                                   "gettext -> 2. b",
                                   "> pause",
                                   "> send WM_WA_IPC 0 IPC_ISPLAYING",
                                   "query playing -> 3",
                                   "sent 0x0400 0 104 -> 3",
                                   "> caption Other - Winamp",
                                   "> gettext 100",
                                   "caption -> Other - Winamp",
                                   "gettext -> Other - Winamp",
                                   "> post WM_WA_IPC 0 IPC_MBOPEN",
                                   "posted 0x0400 0 241",
                                   "> send WM_COMMAND 1 2",
                                   "message 0x0111 1 2 -> 9",
                                   "sent 0x0111 1 2 -> 9",
                                   "> pump",
                                   "browser open",
                                   "pumped 1",
                                   "> procedure",
                                   "procedure player",
                               }));
  Command init;
  ASSERT_TRUE(ParseCommand("init", init, error));
  EXPECT_FALSE(runner.Run(init, error));
  EXPECT_EQ(error, "no plugin loaded (--plugin)");
}

TEST(StandinPlayer, LogsDebuggerOutputOfItsProcess) {
  EventLog log;
  Player player(log);
  OutputDebugStringA("a line without end");
  EXPECT_EQ(Join(log.lines()), Join({"debug a line without end"}));
}

struct ExitRow {
  const char* name;
  std::vector<std::string> arguments;
  DWORD status;
  const char* error;  // what standard error starts with
};

void PrintTo(const ExitRow& row, std::ostream* out) {
  *out << row.name;
}

std::vector<ExitRow> ExitRows() {
  return {
      {"Help", {"--help"}, 0, ""},
      {"UnknownCommand", {"pump", "plya"}, 2, "standin-host: argument 2: unknown command 'plya'\n"},
      {"UnknownOption", {"--plugn", "x.dll", "pump"}, 2, "standin-host: unknown option --plugn\n"},
      {"NoCommands", {"--echo"}, 2, "standin-host: no commands given\n"},
      {"MissingScript", {"--script", R"({dir}\missing.txt)"}, 2, "standin-host: cannot read "},
      {"BadScriptLine", {"--script", R"({dir}\bad-script.txt)"}, 2, "standin-host: line 3: play: "},
      {"CommandThatCannotRun", {"add a.mp3", "play 2"}, 2, "standin-host: argument 2: play 2: "},
      {"MissingPlugin",
       {"--plugin", R"({dir}\missing.dll)", "pump"},
       1,
       "standin-host: cannot load "},
  };
}

class Exit : public testing::TestWithParam<ExitRow> {};

TEST_P(Exit, StatusTellsWhatWentWrong) {
  ASSERT_TRUE(Sandbox::Get().Write("bad-script.txt", "pump\n# fine so far\nplay two\n"));
  std::vector<std::string> arguments;
  for (const std::string& argument : GetParam().arguments) arguments.push_back(Expand(argument));
  const ChildRun run =
      RunChild(BesideProgram("standin-host.exe"), arguments, Sandbox::Get().folder());
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, GetParam().status) << run.errors;
  EXPECT_EQ(run.errors.rfind(GetParam().error, 0), 0U) << run.errors;
}

INSTANTIATE_TEST_SUITE_P(Standin, Exit, testing::ValuesIn(ExitRows()),
                         [](const testing::TestParamInfo<ExitRow>& row) {
                           return std::string(row.param.name);
                         });

TEST(StandinProgram, QuitsAndFreesThePluginOnExit) {
  ASSERT_TRUE(Sandbox::Get().Write("session.txt", "# a session\r\ninit\r\n\r\npump\r\n"));
  const ChildRun run = RunChild(BesideProgram("standin-host.exe"),
                                {"--echo", "--plugin", BesideProgram("gen_talvolyrics.dll"),
                                 "--script", Sandbox::Get().Path("session.txt")},
                                Sandbox::Get().folder());
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0U) << run.errors;
  ASSERT_FALSE(run.out.empty());
  const std::string load = "load " + BesideProgram("gen_talvolyrics.dll") +
                           ": version 0x10, Talvo Lyrics WinAmp Viewer by ";
  EXPECT_EQ(run.out.front().rfind(load, 0), 0U) << run.out.front();
  EXPECT_EQ(Join({run.out.begin() + 1, run.out.end()}),
            Join({"> init", "init -> 0", "> pump", "query playing -> 0", "browser open",
                  "query playing -> 0", std::string("browser ") + kIndexPage, "pumped 2", "exit",
                  "quit", "free -> 1"}));
}

}  // namespace
