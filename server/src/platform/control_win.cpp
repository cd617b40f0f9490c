#include <windows.h>

#include <condition_variable>
#include <mutex>

#include "platform/control.h"

namespace talvo::control {

namespace {

// Shared with the console's control handler, which Windows calls in a thread of its own. Never
// destroyed: a handler may still be waiting in it while the process exits.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::stop_source* stop = nullptr;  // the Controls' own, while there is one
};

Shared& State() {
  static auto* const shared = new Shared;  // NOLINT(cppcoreguidelines-owning-memory): see Shared
  return *shared;
}

void Stop(Shared& shared) {
  const std::lock_guard lock(shared.mutex);
  if (shared.stop != nullptr) shared.stop->request_stop();
  shared.changed.notify_all();
}

BOOL WINAPI OnControl(DWORD event) {
  Shared& shared = State();
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      Stop(shared);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      Stop(shared);
      // Returning would end the process at once; main's return ends it once all has stopped.
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

Controls::Controls(Mode mode) : mode_(mode) {
  {
    Shared& shared = State();
    const std::lock_guard lock(shared.mutex);
    shared.stop = &stop_;
  }
  SetConsoleCtrlHandler(OnControl, TRUE);
}

Controls::~Controls() {
  SetConsoleCtrlHandler(OnControl, FALSE);
  Shared& shared = State();
  const std::lock_guard lock(shared.mutex);
  shared.stop = nullptr;
}

Event Controls::Wait(std::optional<std::chrono::steady_clock::time_point> until) {
  Shared& shared = State();
  std::unique_lock lock(shared.mutex);
  const auto stopped = [this] { return stop_.stop_requested(); };
  if (!until) {
    shared.changed.wait(lock, stopped);
    return Event::kStop;
  }
  return shared.changed.wait_until(lock, *until, stopped) ? Event::kStop : Event::kRescan;
}

void Controls::RequestStop() {
  Shared& shared = State();
  const std::lock_guard lock(shared.mutex);
  stop_.request_stop();
  shared.changed.notify_all();
}

}  // namespace talvo::control
