// talvo-lyrics-server: indexes the user's lyrics library and serves the pages the plugin opens.
#include <httplib.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "library.h"
#include "options.h"
#include "service.h"
#include "store.h"
#include "text.h"

namespace {

constexpr const char* kProgram = "talvo-lyrics-server";

void Rescan(talvo::Store& store, const talvo::Options& options, const talvo::CodePage& codePage) {
  talvo::ProgressBar bar(stderr);
  const auto report = talvo::ScanLibrary(store, options.libraries, codePage, std::ref(bar));
  bar.Finish();
  for (const auto& problem : report.problems)
    std::fprintf(stderr, "skipped: %s\n", problem.c_str());
  const auto songs = store.SongCount();
  std::printf("indexed: %lld song%s (%zu read, %zu unchanged, %zu removed, %zu skipped)\n",
              static_cast<long long>(songs), songs == 1 ? "" : "s", report.read, report.unchanged,
              report.removed, report.skipped);
  std::fflush(stdout);
}

// Waits for SIGHUP (rescan), the periodic check (rescan) or SIGINT/SIGTERM (stop). The signals
// are blocked in every thread and taken here, so no handler runs inside httplib or SQLite.
void WaitForSignals(const sigset_t& signals, httplib::Server& server, talvo::Store& store,
                    const talvo::Options& options, const talvo::CodePage& codePage) {
  for (;;) {
    int signal = 0;
    if (options.rescanInterval.count() > 0) {
      const timespec wait{.tv_sec = options.rescanInterval.count(), .tv_nsec = 0};
      signal = sigtimedwait(&signals, nullptr, &wait);
      if (signal < 0) signal = SIGHUP;  // the period ran out (or EINTR): look again
    } else if (sigwait(&signals, &signal) != 0) {
      continue;
    }
    if (signal != SIGHUP) break;
    Rescan(store, options, codePage);
  }
  server.stop();
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
  const std::string database = options->database.string();
  const auto store = talvo::Store::Open(database, error);
  if (!store) {
    std::fprintf(stderr, "%s: cannot open the index %s: %s\n", kProgram, database.c_str(),
                 error.c_str());
    return 1;
  }

  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Rescan(*store, *options, *codePage);
  if (options->rescanOnly) return 0;

  talvo::LyricsService service(database, *codePage);
  httplib::Server server;
  // An answer goes out as two writes, head and body; without this the body waits for the
  // client's delayed ACK, 40 ms a request on a kept-alive connection.
  server.set_tcp_nodelay(true);
  // A kept-alive connection holds its worker, so the pool is sized for many browsers and clients
  // rather than for the cores.
  server.new_task_queue = [] {
    return new httplib::ThreadPool(std::max(16U, 4 * std::thread::hardware_concurrency()));
  };
  service.Install(server);
  const int port = options->port == 0
                       ? server.bind_to_any_port(options->host)
                       : (server.bind_to_port(options->host, options->port) ? options->port : -1);
  if (port < 0) {
    std::fprintf(stderr, "%s: cannot listen on %s:%d (is another server using the port?)\n",
                 kProgram, options->host.c_str(), options->port);
    return 1;
  }
  const bool v6 = options->host.find(':') != std::string::npos;
  std::printf("listening on http://%s%s%s:%d/\n", v6 ? "[" : "", options->host.c_str(),
              v6 ? "]" : "", port);
  std::fflush(stdout);

  // A listener that fails ends the wait as SIGTERM would.
  std::thread listener([&server] {
    server.listen_after_bind();
    kill(getpid(), SIGTERM);
  });
  WaitForSignals(signals, server, *store, *options, *codePage);
  listener.join();
  return 0;
}
