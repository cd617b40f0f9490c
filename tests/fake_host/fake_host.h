// A player in-process for native tests, benchmarks and fuzzing. It behaves as Win32 does for the
// watcher: a query sent to the main window re-enters the window's current procedure before it
// returns, and a posted request waits in a queue until Pump() hands it to that procedure.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

struct Message {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
  friend bool operator==(const Message&, const Message&) = default;
};

class FakeHost {
 public:
  // Becomes the player that host/host.h talks to, until destroyed.
  FakeHost();
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // What the player answers.
  LRESULT playingState = 1;
  LRESULT position = 0;
  std::vector<std::optional<std::string>> playlist;  // nullopt: the player gives a null name
  std::string caption;

  // What the player's own procedure saw, in order: every message that reached it.
  std::vector<Message> seen;
  // Each browser request as the player handled it: the address text read at that moment, or
  // "(browser)" for the request that opens the browser window itself.
  std::vector<std::string> opened;
  std::vector<std::string> debugLines;

  HWND window() const { return window_; }
  // The main window's current procedure, and its replacement (answering the one replaced).
  WNDPROC procedure() const { return procedure_; }
  WNDPROC ReplaceProcedure(WNDPROC proc);

  // Puts the watcher in front of the player's procedure, as the plugin does at start-up.
  void InstallWatcher();
  // Plays the playlist entry `entry`: the next message will find it.
  void Play(std::size_t entry);

  LRESULT Send(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  void Post(UINT msg, WPARAM wParam, LPARAM lParam);
  // Handles queued messages until none is left; answers how many it handled.
  std::size_t Pump();
  std::size_t Pending() const { return queue_.size(); }

  // How many of the three queries the player has answered so far.
  std::size_t Queries() const;

  // What the player's procedure returns for a message it does not answer itself: distinct per
  // message, so forwarding can be checked.
  static LRESULT OwnResult(UINT msg, WPARAM wParam, LPARAM lParam);

  static FakeHost& Current();

 private:
  static LRESULT CALLBACK PlayerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);

  HWND window_;
  WNDPROC procedure_ = PlayerProc;
  std::deque<Message> queue_;
};
