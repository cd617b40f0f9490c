// A stand-in for the media player: one main window, a playlist, a caption and the plugin
// interface of host/plugin.h. Its window procedure answers the plugin's queries and logs each
// message it handles, so a run reads as what the player saw, in order.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "host/plugin.h"

// The main window's class; a message-only window, so no broadcast reaches it and every message
// it sees comes from the script or the plugin.
inline constexpr char kPlayerWindowClass[] = "TalvoStandinPlayer";

// IPC_ISPLAYING's answer while paused: anything but 1 means "not playing".
inline constexpr LRESULT kPausedState = 3;

// One line per event, kept in order and, when `out` is given, printed and flushed at once so
// that whatever else the process writes (an expansion module, a crash) stays in sequence.
class EventLog {
 public:
  explicit EventLog(std::FILE* out = nullptr) : out_(out) {}
  void Add(std::string line);
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::FILE* out_;
  std::vector<std::string> lines_;
};

struct PlaylistEntry {
  std::string file;
  std::string text;  // "Artist - Title", as the caption shows it
};

class Player {
 public:
  // Creates the main window; check created(). Debugger output of the process is logged as
  // "debug TEXT" while this player lives.
  explicit Player(EventLog& log);
  ~Player();
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  bool created() const { return window_ != nullptr; }
  HWND window() const { return window_; }

  // The plugin, as the player loads it: LoadLibraryA, the export, hwndParent and hDllInstance
  // filled in. False, with a reason, if the library or its export is missing.
  bool Load(const std::string& path, std::string& error);
  bool loaded() const { return plugin_ != nullptr; }
  bool freed() const { return freed_; }
  const winampGeneralPurposePlugin& plugin() const { return *plugin_; }
  // The lifecycle calls; each needs a loaded plugin that has not been freed.
  int Init();
  void Config();
  void Quit();
  BOOL Free();
  // True when init ran and no quit followed it: the player owes the plugin a quit.
  bool running() const { return running_; }

  void Add(PlaylistEntry entry) { playlist_.push_back(std::move(entry)); }
  void ClearPlaylist() { playlist_.clear(); }
  std::size_t size() const { return playlist_.size(); }
  // Plays entry `number` (counted from 1); its caption becomes "N. TEXT - Winamp".
  void Play(std::size_t number);
  void SetState(LRESULT state) { state_ = state; }
  void SetCaption(std::string caption) { caption_ = std::move(caption); }
  // What the player's procedure returns for messages it does not answer itself.
  void SetAnswer(LRESULT answer) { answer_ = answer; }

  // Handles queued messages until none is left, or kPumpLimit have been handled (a plugin that
  // posts for every message it gets would keep the queue full for ever); answers how many.
  static constexpr std::size_t kPumpLimit = 1000;
  static std::size_t Pump();

  // Who owns the main window's procedure now: "player", or the module's file name.
  std::string ProcedureOwner() const;
  static WNDPROC OwnProcedure();

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT AnswerIpc(WPARAM wParam, LPARAM lParam);
  LRESULT CopyCaption(WPARAM size, char* buffer);
  LRESULT Answer(UINT msg, WPARAM wParam, LPARAM lParam);

  EventLog& log_;
  HWND window_ = nullptr;
  bool handling_ = false;  // between creation and destruction: answer and log
  EventLog* previousDebugLog_ = nullptr;

  HMODULE library_ = nullptr;
  winampGeneralPurposePlugin* plugin_ = nullptr;
  bool freed_ = false;
  bool running_ = false;

  std::vector<PlaylistEntry> playlist_;
  LRESULT state_ = 0;
  LRESULT position_ = 0;
  std::string caption_;
  LRESULT answer_ = 0;
};

// From now on an unhandled exception ends the process at once, its code the exit status, after
// one line on standard error: Wine would otherwise start a debugger and wait for it.
void ExitOnCrash();

// A message as the log writes it: "0x0111 5 6" (number in hex, wParam and lParam in decimal).
std::string MessageText(UINT msg, WPARAM wParam, LPARAM lParam);

// The file name of the module at `address` ("gen_talvolyrics.dll"), or its address in hex.
std::string ModuleNameAt(const void* address);
