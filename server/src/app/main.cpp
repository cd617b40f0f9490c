// talvo-lyrics-server: indexes the user's lyrics library and serves the pages the plugin opens.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "api/routes.h"
#include "app/options.h"
#include "app/progress.h"
#include "http/server.h"
#include "index/store.h"
#include "platform/control.h"
#include "platform/files.h"
#include "platform/system.h"
#include "service/service.h"
#include "sources/library.h"
#include "sources/lrclib_dump.h"
#include "sources/upstream.h"
#include "text/text.h"

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

// Rescans when asked or when the period runs out, until a stop.
void WaitForStop(talvo::control::Controls& controls, Scanner& scanner,
                 const talvo::Options& options) {
  using Clock = std::chrono::steady_clock;
  const bool periodic = options.rescanInterval.count() > 0;
  while (controls.Wait(periodic ? std::optional(Clock::now() + options.rescanInterval)
                                : std::nullopt) == talvo::control::Event::kRescan) {
    scanner.Request();
  }
}

// Imports a dump and reports it on stdout; the exit status. A stop from outside leaves the index
// as it was (the dump's writes are one transaction).
int Import(talvo::Store& store, const talvo::Options& options) {
  const talvo::control::Controls controls(talvo::control::Mode::kImport);
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
                              report, error, progress, controls.StopToken());
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

// Makes or removes the startup shortcut; the exit status.
int Startup(const talvo::Options& options) {
  std::string error;
  const auto shortcut = options.startup == talvo::Options::Startup::kInstall
                            ? talvo::system::InstallStartup(options.startupArguments, error)
                            : talvo::system::UninstallStartup(error);
  if (!shortcut) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    return talvo::system::kHasStartup ? 1 : 2;
  }
  std::printf("%s: %s\n",
              options.startup == talvo::Options::Startup::kInstall ? "startup shortcut made"
                                                                   : "startup shortcut removed",
              talvo::files::PathToUtf8(*shortcut).c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  talvo::system::UseUtf8Console();
  std::string error;
  const std::vector<std::string> words = talvo::system::CommandLine(argc, argv);
  std::vector<const char*> arguments;
  arguments.reserve(words.size());
  for (const std::string& word : words) arguments.push_back(word.c_str());
  const auto options =
      talvo::ParseOptions(static_cast<int>(arguments.size()), arguments.data(), error);
  if (!options) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
    return 2;
  }
  if (options->help) {
    std::fputs(talvo::UsageText(), stdout);
    return 0;
  }
  if (options->startup != talvo::Options::Startup::kNone) return Startup(*options);
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

  talvo::control::Controls controls(talvo::control::Mode::kServe);

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
  talvo::LyricsService service(database, std::move(upstream));
  talvo::http::Server server(
      [&service, &codePage](const talvo::http::Request& request) {
        return talvo::Respond(service, *codePage, request);
      },
      {.requestTimeout = options->idleTimeout, .hostName = options->host});
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

  // A loop that ends by itself ends the wait as a stop from outside would.
  std::thread serving([&server, &controls] {
    server.Run();
    controls.RequestStop();
  });
  {
    Scanner scanner(*store, *options, *codePage);
    WaitForStop(controls, scanner, *options);
  }
  server.Stop();
  serving.join();
  return 0;
}
