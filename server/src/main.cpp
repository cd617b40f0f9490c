// talvo-lyrics-server: indexes the user's lyrics library and serves the pages the plugin opens.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <thread>

#include "files.h"
#include "http.h"
#include "library.h"
#include "lrclib_dump.h"
#include "options.h"
#include "progress.h"
#include "routes.h"
#include "service.h"
#include "store.h"
#include "text.h"
#include "upstream.h"

namespace {

constexpr const char* kProgram = "talvo-lyrics-server";

// One scan; nothing is reported for a scan that was stopped.
void Rescan(talvo::Store& store, const talvo::Options& options, const talvo::CodePage& codePage,
            const std::stop_token& stop = {}) {
  talvo::ProgressBar bar(stderr);
  const auto report = talvo::ScanLibrary(store, options.libraries, codePage, std::ref(bar), stop);
  bar.Finish();
  if (stop.stop_requested()) return;
  for (const auto& problem : report.problems)
    std::fprintf(stderr, "skipped: %s\n", problem.c_str());
  const auto songs = store.SongCount();
  std::printf("indexed: %lld song%s (%zu read, %zu unchanged, %zu removed, %zu skipped)\n",
              static_cast<long long>(songs), songs == 1 ? "" : "s", report.read, report.unchanged,
              report.removed, report.skipped);
  std::fflush(stdout);
}

// Scans in a thread of its own while the pages are served from the index as it is: the first
// scan at once, then one for each Request, never two at a time (the store is one connection).
// Destroying it stops a scan in progress after the file in hand.
class Scanner {
 public:
  Scanner(talvo::Store& store, const talvo::Options& options, const talvo::CodePage& codePage)
      : store_(store),
        options_(options),
        codePage_(codePage),
        thread_([this](const std::stop_token& stop) { Loop(stop); }) {}
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  ~Scanner() = default;  // the thread is asked to stop, then joined

  void Request() {
    const std::lock_guard lock(mutex_);
    pending_ = true;
    wake_.notify_one();
  }

 private:
  void Loop(const std::stop_token& stop) {
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (!wake_.wait(lock, stop, [this] { return pending_; })) return;
        pending_ = false;
      }
      Rescan(store_, options_, codePage_, stop);
    }
  }

  talvo::Store& store_;
  const talvo::Options& options_;
  const talvo::CodePage& codePage_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  bool pending_ = true;
  std::jthread thread_;  // last: it starts once the rest is in place
};

// Waits for SIGHUP (rescan), the periodic check (rescan) or SIGINT/SIGTERM (stop). The signals
// are blocked in every thread and taken here, so no handler runs inside the server or SQLite.
void WaitForSignals(const sigset_t& signals, Scanner& scanner, const talvo::Options& options) {
  using Clock = std::chrono::steady_clock;
  auto due = Clock::now() + options.rescanInterval;
  for (;;) {
    int signal = 0;
    if (options.rescanInterval.count() > 0) {
      const auto left = std::max(Clock::duration::zero(), due - Clock::now());
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      const timespec wait{
          .tv_sec = seconds.count(),
          .tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count()};
      signal = sigtimedwait(&signals, nullptr, &wait);
      // Interrupted (a debugger attaching, a stopped and continued process): wait out the rest.
      if (signal < 0 && errno == EINTR) continue;
      if (signal < 0) signal = SIGHUP;  // the period ran out: look again
    } else if (sigwait(&signals, &signal) != 0) {
      continue;
    }
    if (signal != SIGHUP) return;
    due = Clock::now() + options.rescanInterval;
    scanner.Request();
  }
}

// How long the import's signal watcher sleeps between looks at whether the import is over.
constexpr auto kSignalPoll = std::chrono::milliseconds(100);

// Imports a dump and reports it on stdout; the exit status. SIGINT and SIGTERM stop it with the
// index as it was (the dump's writes are one transaction): they are blocked and taken by a thread
// of their own, so no handler runs inside SQLite.
int Import(talvo::Store& store, const talvo::Options& options) {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::stop_source interrupt;
  std::jthread watcher([&signals, &interrupt](const std::stop_token& done) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kSignalPoll);
    const timespec wait{.tv_sec = seconds.count(),
                        .tv_nsec = std::chrono::nanoseconds(kSignalPoll - seconds).count()};
    while (!done.stop_requested()) {
      if (sigtimedwait(&signals, nullptr, &wait) > 0) interrupt.request_stop();
    }
  });

  const std::string file = talvo::files::PathToUtf8(options.importDump);
  talvo::ProgressBar bar(stderr, "tracks");
  const auto progress = [&](std::size_t done, std::size_t total) {
    // The first call comes once the import holds the index: from here on it is replacing.
    if (done == 0) {
      std::printf("importing: %s, %zu tracks\n", file.c_str(), total);
      std::fflush(stdout);
    }
    bar(done, total);
  };
  talvo::DumpReport report;
  std::string error;
  const bool imported =
      talvo::ImportLrclibDump(store, options.importDump, talvo::UnpackPath(options.database),
                              report, error, progress, interrupt.get_token());
  bar.Finish();
  if (!imported) {
    std::fprintf(stderr, "%s: %s not imported, the index is as it was: %s\n", kProgram,
                 file.c_str(), error.c_str());
    return 1;
  }
  std::printf("imported: %zu songs from %zu tracks (%zu without lyrics, %zu skipped)\n",
              report.songs, report.tracks, report.withoutLyrics, report.skipped);
  std::fflush(stdout);
  return 0;
}

}  // namespace
int main(int argc, char** argv) {
  std::string error;
  const auto options = talvo::ParseOptions(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
    return 2;
  }
  if (options->help) {
    std::fputs(talvo::UsageText(), stdout);
    return 0;
  }
  const auto codePage = talvo::CodePage::Open(options->codePage);
  if (!codePage) {
    std::fprintf(stderr, "%s: unknown code page '%s'\nTry '%s --help'.\n", kProgram,
                 options->codePage.c_str(), kProgram);
    return 2;
  }

  std::error_code ec;
  if (options->database.has_parent_path())
    std::filesystem::create_directories(options->database.parent_path(), ec);
  const std::string database = talvo::files::PathToUtf8(options->database);
  const auto store = talvo::Store::Open(database, error);
  if (!store) {
    std::fprintf(stderr, "%s: cannot open the index %s: %s\n", kProgram, database.c_str(),
                 error.c_str());
    return 1;
  }

  if (!options->importDump.empty()) return Import(*store, *options);

  if (options->rescanOnly) {
    Rescan(*store, *options, *codePage);
    return 0;
  }

  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<talvo::upstream::Client> upstream;
  if (!options->upstream.empty()) {
    auto address = talvo::upstream::ParseAddress(options->upstream, error);
    if (address)
      upstream =
          talvo::upstream::Client::Create(std::move(*address), options->upstreamTimeout,
                                          talvo::files::PathToUtf8(options->upstreamCa), error);
    if (!upstream) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 2;
    }
  }
  talvo::LyricsService service(database, *codePage, std::move(upstream));
  talvo::http::Server server(
      [&service](const talvo::http::Request& request) { return talvo::Answer(service, request); },
      {.requestTimeout = options->idleTimeout});
  // Bound before the scan, so a port in use is reported at once and pages answer meanwhile.
  if (!server.Listen(options->host, options->port, error)) {
    if (!error.empty()) error[0] = static_cast<char>(std::tolower(error[0]));
    std::fprintf(stderr, "%s: cannot listen on %s:%d: %s\n", kProgram, options->host.c_str(),
                 options->port, error.c_str());
    return 1;
  }
  const bool v6 = options->host.find(':') != std::string::npos;
  std::printf("listening on http://%s%s%s:%d/\n", v6 ? "[" : "", options->host.c_str(),
              v6 ? "]" : "", server.Port());
  std::fflush(stdout);

  // A loop that ends by itself ends the wait as SIGTERM would.
  std::thread serving([&server] {
    server.Run();
    kill(getpid(), SIGTERM);
  });
  {
    Scanner scanner(*store, *options, *codePage);
    WaitForSignals(signals, scanner, *options);
  }
  server.Stop();
  serving.join();
  return 0;
}
