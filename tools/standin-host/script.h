// The stand-in player's commands. A script is parsed whole before anything runs, so a bad
// script fails before it touches the plugin.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "standin-host/player.h"

enum class Verb {
  kAdd,
  kClear,
  kPlay,
  kPause,
  kStop,
  kCaption,
  kAnswer,
  kSend,
  kPost,
  kPump,
  kGetText,
  kInit,
  kConfig,
  kQuit,
  kFree,
  kProcedure,
  kModule,
};

struct Command {
  Verb verb = Verb::kPump;
  std::string text;       // as written: the echo and the error messages show it
  std::string where;      // "line 3" or "argument 2", for errors that come while it runs
  std::string name;       // add: the file; caption: the caption; module: the module
  std::string entryText;  // add: "Artist - Title"
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  LRESULT number = 0;  // play: the entry; answer: the value; gettext: the buffer size
};

// One command, e.g. "send WM_COMMAND 5 0x10"; false, with the reason, when it is not one.
bool ParseCommand(std::string_view text, Command& command, std::string& error);

// One command per line; blank lines and lines starting with '#' are skipped. Errors name the
// line.
bool ParseScript(std::string_view script, std::vector<Command>& commands, std::string& error);

// Carries commands out on a player and logs their results.
class ScriptRunner {
 public:
  // With `echo`, each command is logged as "> COMMAND" before it runs.
  ScriptRunner(Player& player, EventLog& log, bool echo)
      : player_(player), log_(log), echo_(echo) {}

  // False, with the reason, when the command cannot run in the player's present state.
  bool Run(const Command& command, std::string& error);

  // What the player does when it exits: quit the plugin if it runs, then free it.
  void Finish();

 private:
  bool RunPlugin(const Command& command, std::string& error);
  void Send(const Command& command);

  Player& player_;
  EventLog& log_;
  bool echo_;
};
