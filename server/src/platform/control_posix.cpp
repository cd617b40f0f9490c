#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "platform/control.h"

namespace talvo::control {

namespace {

// How long the import's signal watcher sleeps between looks at whether the import is over.
constexpr auto kSignalPoll = std::chrono::milliseconds(100);

sigset_t Signals(Mode mode) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM}) sigaddset(&signals, signal);
  if (mode == Mode::kServe) sigaddset(&signals, SIGHUP);
  return signals;
}

timespec AsTimespec(std::chrono::steady_clock::duration left) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
  return {.tv_sec = seconds.count(),
          .tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count()};
}

}  // namespace

Controls::Controls(Mode mode) : mode_(mode) {
  const sigset_t signals = Signals(mode);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (mode != Mode::kImport) return;
  watcher_ = std::jthread([this, signals](const std::stop_token& done) {
    const timespec wait = AsTimespec(kSignalPoll);
    while (!done.stop_requested()) {
      if (sigtimedwait(&signals, nullptr, &wait) > 0) stop_.request_stop();
    }
  });
}

Controls::~Controls() = default;

Event Controls::Wait(std::optional<std::chrono::steady_clock::time_point> until) {
  const sigset_t signals = Signals(mode_);
  for (;;) {
    if (stop_.stop_requested()) return Event::kStop;
    int signal = 0;
    if (until) {
      const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                 *until - std::chrono::steady_clock::now());
      const timespec wait = AsTimespec(left);
      signal = sigtimedwait(&signals, nullptr, &wait);
      // Interrupted (a debugger attaching, a stopped and continued process): wait out the rest.
      if (signal < 0 && errno == EINTR) continue;
      if (signal < 0) return Event::kRescan;  // the period ran out: look again
    } else if (sigwait(&signals, &signal) != 0) {
      continue;
    }
    if (signal == SIGHUP) return Event::kRescan;
    stop_.request_stop();
  }
}

void Controls::RequestStop() {
  stop_.request_stop();
  // Wakes a Wait in another thread; blocked everywhere, so it is only ever taken there.
  kill(getpid(), SIGTERM);
}

}  // namespace talvo::control
