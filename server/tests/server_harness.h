// The real server program over loopback, for the end-to-end suites: each test starts it on an
// ephemeral port with a library and database of its own, and talks HTTP to it through plain
// sockets, so every byte of the request is the test's own.
//
// The program is the Linux build's, or the Windows .exe when TALVO_SERVER_EXE names one; it then
// runs through TALVO_SERVER_LAUNCHER (64-bit Wine), and the tests that need what only Linux has
// are skipped by the table in WindowsExclusions.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "run_program.h"

namespace talvo::e2e {

namespace fs = std::filesystem;

// Long enough for a server under valgrind; only a hung one takes it.
constexpr int kHangMillis = 60'000;

struct Reply {
  int status = 0;
  std::string headers;
  std::string body;
};

// The command that starts the server, without its arguments.
struct ServerCommand {
  std::vector<std::string> words;
  bool windows = false;
};

inline const ServerCommand& ServerUnderTest() {
  // Read once, before any test starts a thread.
  static const ServerCommand command = [] {
    const char* exe = std::getenv("TALVO_SERVER_EXE");  // NOLINT(concurrency-mt-unsafe)
    if (exe == nullptr || *exe == '\0') return ServerCommand{{TALVO_SERVER_PROGRAM}, false};
    const char* launcher = std::getenv("TALVO_SERVER_LAUNCHER");  // NOLINT(concurrency-mt-unsafe)
    ServerCommand windows{{}, true};
    if (launcher != nullptr && *launcher != '\0') windows.words.emplace_back(launcher);
    windows.words.emplace_back(exe);
    return windows;
  }();
  return command;
}

inline bool RunningTheExe() {
  return ServerUnderTest().windows;
}

// What a test needs that one of the two programs cannot give, and why; matched against
// "Suite.Name", a trailing '*' matching any rest.
struct Exclusion {
  const char* test;
  bool onWindows;  // the test is skipped with the .exe; otherwise with the Linux program
  const char* reason;
};

inline constexpr Exclusion kExclusions[] = {
    {"RunningServerTest.RescanSeesAddedChangedAndRemovedFiles", true,
     "a rescan is asked for by SIGHUP, which Windows has not"},
    {"ServerTest.AStoppedAndContinuedServerWaitsOutItsPeriod", true,
     "a rescan is asked for by SIGHUP, which Windows has not"},
    {"ServerTest.UnreadableFilesAreSkippedAndReported", true,
     "FIFOs and symbolic links are POSIX file kinds"},
    {"Server/OptionTest.ExitsWithAClearMessage/no_library", true,
     "on Windows the Music folder is the library when none is named"},
    {"Server/OptionTest.ExitsWithAClearMessage/install_startup", true,
     "Windows has the startup shortcut (WindowsStartupShortcutIsMadeAndRemoved)"},
    {"Server/OptionTest.ExitsWithAClearMessage/uninstall_startup", true,
     "Windows has the startup shortcut (WindowsStartupShortcutIsMadeAndRemoved)"},
    {"ServerHarness.Windows*", false, "the Windows server's own defaults"},
};

// Why the running test is skipped with the program under test, or nullptr.
inline const char* ExclusionReason() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return nullptr;
  const std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (const auto& exclusion : kExclusions) {
    if (exclusion.onWindows != RunningTheExe()) continue;
    const std::string_view test = exclusion.test;
    const bool matches = test.ends_with('*')
                             ? std::string_view(name).starts_with(test.substr(0, test.size() - 1))
                             : name == test;
    if (matches) return exclusion.reason;
  }
  return nullptr;
}

// A file the server wrote, as lines ending in '\n': a Windows program's text output ends them in
// "\r\n".
inline std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (RunningTheExe()) std::erase(text, '\r');
  return text;
}

// Percent-encodes every byte that is not a letter or digit, as a client sending UTF-8 does.
inline std::string Encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 && byte < 0x80) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

inline fs::path MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "talvo-server-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return {};
  return pattern;
}

inline void WriteFile(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

// One server process, its stdout read line by line and its stderr kept in a file.
class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& args, const fs::path& errors) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words = ServerUnderTest().words;
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    // The launcher is looked up on the PATH; the Linux program's path is absolute.
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The next line the server prints, or "" once it has closed its output. The long limit only
  // keeps a wedged server from hanging the suite.
  std::string ReadLine() {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (RunningTheExe() && line.ends_with('\r')) line.pop_back();
        ++linesRead_;
        return line;
      }
      pollfd ready{.fd = out_, .events = POLLIN, .revents = 0};
      if (poll(&ready, 1, kHangMillis) <= 0) return {};
      char chunk[4096];
      const auto got = read(out_, chunk, sizeof chunk);
      if (got <= 0) return {};
      pending_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  // The line that starts with prefix, skipping others; "" if the server ends first.
  std::string WaitFor(std::string_view prefix) {
    for (;;) {
      auto line = ReadLine();
      if (line.empty() || line.starts_with(prefix)) return line;
    }
  }

  // Wine ends a program at SIGTERM without telling it; the stop request it passes on is SIGINT,
  // as the console's Ctrl+C, which is what stops a Windows console program.
  void Signal(int signal) const {
    kill(pid_, RunningTheExe() && signal == SIGTERM ? SIGINT : signal);
  }
  pid_t Pid() const { return pid_; }
  int LinesRead() const { return linesRead_; }

  // The exit status, or -1 for a signal or a process that never started.
  int Wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // As Wait, but -2 when the process is still running after the hang limit (it is then killed).
  int WaitBounded() {
    for (int waited = 0; waited < kHangMillis; waited += 20) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      if (done < 0) return -1;
      usleep(20'000);
    }
    return -2;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int linesRead_ = 0;
  std::string pending_;
};

// A loopback connection to port, or -1. Reads give up after the hang limit.
inline int Connect(int port) {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock < 0) return -1;
  const timeval limit{.tv_sec = kHangMillis / 1000, .tv_usec = 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

// Writes all of bytes, stopping early if the server closes; whether all went.
inline bool SendAll(int sock, std::string_view bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const auto n = send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Everything the server sends until it closes (or the hang limit).
inline std::string ReadAll(int sock) {
  std::string raw;
  char chunk[8192];
  for (ssize_t got; (got = read(sock, chunk, sizeof chunk)) > 0;)
    raw.append(chunk, static_cast<std::size_t>(got));
  return raw;
}

inline Reply ParseReply(std::string_view raw) {
  Reply reply;
  const auto split = raw.find("\r\n\r\n");
  if (raw.size() < 12 || split == std::string_view::npos) return reply;
  reply.status = std::stoi(std::string(raw.substr(9, 3)));
  reply.headers = raw.substr(0, split);
  reply.body = raw.substr(split + 4);
  return reply;
}

inline Reply Send(int port, std::string_view request) {
  const int sock = Connect(port);
  if (sock < 0) return {};
  SendAll(sock, request);
  const auto raw = ReadAll(sock);
  close(sock);
  return ParseReply(raw);
}

inline Reply Request(int port, std::string_view method, std::string_view target) {
  return Send(port, std::string(method) + " " + std::string(target) +
                        " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

inline Reply Get(int port, std::string_view target) {
  return Request(port, "GET", target);
}

// A folder of its own for each test, with a library in it, and the server started on it.
class ServerHarness : public ::testing::Test {
 protected:
  // A fixture that adds to SetUp returns at once when IsSkipped().
  void SetUp() override {
    if (const char* reason = ExclusionReason()) GTEST_SKIP() << reason;
    folder_ = MakeTempFolder();
    ASSERT_FALSE(folder_.empty());
    library_ = folder_ / "library";
    fs::create_directories(library_);
  }
  void TearDown() override {
    server_.reset();
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  // Starts the server on the library and waits for its first scan; the port it listens on, or
  // 0. The scan runs after the server listens, so a test that must not wait for it says so.
  int Start(std::vector<std::string> extra = {}, bool awaitScan = true) {
    std::vector<std::string> args{
        "--library",   library_.string(),   "--db", (folder_ / "index.db").string(), "--listen",
        "127.0.0.1:0", "--rescan-interval", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ServerProcess>(args, folder_ / "stderr.txt");
    const auto line = server_->WaitFor("listening on http://127.0.0.1:");
    if (line.empty()) {
      StartFailed();
      return 0;
    }
    const int port =
        std::stoi(line.substr(std::string_view("listening on http://127.0.0.1:").size()));
    if (awaitScan && server_->WaitFor("indexed:").empty()) return 0;
    return port;
  }

  // SIGHUP, then the report of the scan it started.
  std::string Rescan() {
    server_->Signal(SIGHUP);
    return server_->WaitFor("indexed:");
  }

  std::string Errors() const { return ReadText(folder_ / "stderr.txt"); }

  // Why the server never listened. A launcher (Wine) that died before the server said a word is
  // the machine failing, not the server, and is named so that the run reports it as such.
  void StartFailed() {
    const int status = server_->WaitBounded();
    const auto errors = Errors();
    constexpr std::string_view kOwnLine = "talvo-lyrics-server: ";
    const bool spoke = !RunningTheExe() || server_->LinesRead() > 0 ||
                       errors.starts_with(kOwnLine) ||
                       errors.find("\n" + std::string(kOwnLine)) != std::string::npos;
    const auto& launcher = ServerUnderTest().words.front();
    constexpr std::size_t kTail = 2000;
    ADD_FAILURE() << (spoke ? "" : "infrastructure failure: ") << launcher
                  << (status == -2   ? " was still running without listening"
                      : status == -1 ? " was killed by a signal or never started"
                                     : " exited with status " + std::to_string(status))
                  << " before the server listened; its last output:\n"
                  << (errors.size() > kTail ? errors.substr(errors.size() - kTail) : errors);
  }

  fs::path folder_;
  fs::path library_;
  std::unique_ptr<ServerProcess> server_;
};

}  // namespace talvo::e2e
