// What stops the server or asks it to look at its library again, from outside the program: on
// Linux SIGINT and SIGTERM (stop) and SIGHUP (rescan); on Windows the console's control events,
// Ctrl-C, Ctrl-Break, the console closed, logoff and shutdown (stop), and nothing asks for a
// rescan there but the period. No handler ever runs inside the server or SQLite: the events are
// taken by Wait or by a watcher of the Controls' own and handed over.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <thread>

namespace talvo::control {

enum class Mode {
  kServe,   // Wait takes stop and rescan
  kImport,  // StopToken is stopped by a stop; a rescan request is not taken (SIGHUP ends it)
};

enum class Event { kStop, kRescan };

// One per program, made in main before any other thread starts (on Linux the signals are blocked
// in the thread that makes it, and threads started later inherit that). On Windows a console
// that is closed, a logoff or a shutdown ends the process once its control handler returns: the
// handler never does, so the process ends when main returns, with everything stopped cleanly, or
// when Windows' own time for it runs out.
class Controls {
 public:
  explicit Controls(Mode mode);
  ~Controls();
  Controls(const Controls&) = delete;
  Controls& operator=(const Controls&) = delete;

  // The next event; kRescan at until, when given. Once a stop came, kStop at once.
  Event Wait(std::optional<std::chrono::steady_clock::time_point> until);
  // Ends a Wait in any thread as a stop from outside would, e.g. when the server's loop ends.
  void RequestStop();
  // Stopped when a stop comes from outside (kImport).
  std::stop_token StopToken() const { return stop_.get_token(); }

 private:
  [[maybe_unused]] Mode mode_;  // Windows takes the same events in either mode
  std::stop_source stop_;
  std::jthread watcher_;  // Linux, kImport: takes the signals for StopToken
};

}  // namespace talvo::control
