// standin-host: a stand-in for the media player that loads a general-purpose plugin, plays a
// scripted session and logs what its main window sees.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "standin-host/script.h"

namespace {

constexpr char kUsage[] =
    "usage: standin-host [--plugin DLL] [--echo] --script FILE\n"
    "       standin-host [--plugin DLL] [--echo] COMMAND...\n"
    "\n"
    "Loads DLL as the player does (LoadLibraryA, winampGetGeneralPurposePlugin, hwndParent and\n"
    "hDllInstance filled in), runs the commands, one per script line or per argument, and at the\n"
    "end quits and frees the plugin. Blank lines and lines starting with # are skipped.\n"
    "\n"
    "  add FILE [ARTIST - TITLE]  add a playlist entry (quote a FILE that has spaces); its\n"
    "                             caption text defaults to the file's name\n"
    "  clear                      empty the playlist (the position stays)\n"
    "  play N                     play entry N (from 1); caption \"N. ARTIST - TITLE - Winamp\"\n"
    "  pause | stop               the playing-state query then answers 3 | 0\n"
    "  caption [TEXT]             set the caption text\n"
    "  answer N                   what the player returns for messages it does not answer\n"
    "  send MSG WPARAM LPARAM     send a message to the main window, log the result\n"
    "  post MSG WPARAM LPARAM     post one; pump handles it\n"
    "  pump                       handle queued messages until none is left (at most 1000)\n"
    "  gettext N                  read the caption with GetWindowTextA into N bytes\n"
    "  init | config | quit | free    call the plugin's routine; free is FreeLibrary\n"
    "  procedure                  who owns the main window's procedure\n"
    "  module NAME                whether module NAME is loaded (GetModuleHandleA)\n"
    "\n"
    "Numbers are decimal or 0x hex, or one of WM_NULL WM_SETTEXT WM_GETTEXT WM_GETTEXTLENGTH\n"
    "WM_COMMAND WM_TIMER WM_USER WM_WA_IPC IPC_ISPLAYING IPC_GETLISTPOS IPC_GETPLAYLISTFILE\n"
    "IPC_MBOPEN. A plugin notices a new song on the next message its window gets. (Post\n"
    "WM_TIMER with lParam 0: Windows calls a nonzero lParam as the timer's callback.)\n"
    "\n"
    "Log, one line per event on standard output:\n"
    "  load DLL: version 0xNN, DESCRIPTION       query playing|position -> N\n"
    "  init -> N | config | quit | free -> N     query file N -> NAME|null\n"
    "  caption -> TEXT (WM_GETTEXT answered)     browser open | browser ADDRESS (241 handled)\n"
    "  message 0xMSG WPARAM LPARAM -> RESULT     sent 0xMSG WPARAM LPARAM -> RESULT\n"
    "  posted 0xMSG WPARAM LPARAM | pumped N     gettext -> TEXT | debug TEXT (debugger output)\n"
    "  procedure player|MODULE | module NAME loaded|absent | exit | > COMMAND (--echo)\n"
    "\n"
    "Exit status: 0 done, 1 the plugin or the window could not be set up, 2 bad usage or a\n"
    "command that is wrong or cannot run.\n";

int Fail(int status, const std::string& problem) {
  std::fprintf(stderr, "standin-host: %s\n", problem.c_str());
  if (status == 2) std::fputs("Try 'standin-host --help'.\n", stderr);
  return status;
}

struct Options {
  const char* plugin = nullptr;
  const char* script = nullptr;
  bool echo = false;
  int firstCommand = 0;
};

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string option = argv[i];
    if (option == "--") {
      ++i;
      break;
    }
    if (option == "--echo") {
      options.echo = true;
    } else if ((option == "--plugin" || option == "--script") && i + 1 < argc) {
      (option == "--plugin" ? options.plugin : options.script) = argv[++i];
    } else {
      error = option == "--plugin" || option == "--script" ? option + " needs a value"
                                                           : "unknown option " + option;
      return false;
    }
  }
  options.firstCommand = i;
  if (options.script != nullptr && i < argc) error = "give --script or commands, not both";
  if (options.script == nullptr && i == argc) error = "no commands given";
  return error.empty();
}

bool ReadCommands(const Options& options, int argc, char** argv, std::vector<Command>& commands,
                  std::string& error) {
  if (options.script != nullptr) {
    std::ifstream file(options.script, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
      error = std::string("cannot read ") + options.script;
      return false;
    }
    return ParseScript(text.str(), commands, error);
  }
  for (int i = options.firstCommand; i < argc; ++i) {
    Command command;
    const std::string where = "argument " + std::to_string(i);
    if (!ParseCommand(argv[i], command, error)) {
      error.insert(0, where + ": ");
      return false;
    }
    command.where = where;
    commands.push_back(std::move(command));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ExitOnCrash();
  // Plain line ends on every platform, like the lines a plugin module may write itself.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  Options options;
  std::vector<Command> commands;
  std::string error;
  if (!ParseOptions(argc, argv, options, error) ||
      !ReadCommands(options, argc, argv, commands, error)) {
    return Fail(2, error);
  }

  EventLog log(stdout);
  Player player(log);
  if (!player.created()) return Fail(1, "cannot create the main window");
  if (options.plugin != nullptr) {
    if (!player.Load(options.plugin, error)) return Fail(1, error);
    char version[16];
    std::snprintf(version, sizeof version, "0x%x", static_cast<unsigned>(player.plugin().version));
    log.Add(std::string("load ") + options.plugin + ": version " + version + ", " +
            (player.plugin().description != nullptr ? player.plugin().description : "(none)"));
  }

  ScriptRunner runner(player, log, options.echo);
  int status = 0;
  for (const Command& command : commands) {
    if (!runner.Run(command, error)) {
      status = Fail(2, command.where + ": " + command.text + ": " + error);
      break;
    }
  }
  runner.Finish();
  return status;
}
