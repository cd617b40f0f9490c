// A loopback HTTP server that answers each connection as the test says, in a thread of its own,
// and counts the requests: the upstream the client and RemoteSongs suites talk to.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace talvo::fake {

// Far beyond any timeout the suites give the client: only a wedged test reaches it.
constexpr auto kHangGuard = std::chrono::seconds(10);

inline void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

inline std::string Response(int status, std::string_view type, std::string_view body) {
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + std::string(type) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         std::string(body);
}

// A loopback port nothing listens on: bound, then closed.
inline int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  close(fd);
  return bound ? ntohs(address.sin_port) : 0;
}

class Upstream {
 public:
  // Called with the connection, the request's head as read, and whether the test is over (a
  // handler that holds the connection polls it).
  using Handler = std::function<void(int fd, const std::string& head, const std::atomic<bool>&)>;

  explicit Upstream(Handler handler) : handler_(std::move(handler)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    // Port 0 when any step fails: the test's requests then fail as they should.
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(listener_, 16) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
      port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~Upstream() {
    stopping_ = true;
    acceptor_.join();
    for (auto& connection : connections_) connection.join();
    close(listener_);
  }
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int requests() const { return requests_; }
  std::string lastHead() const {
    const std::lock_guard lock(mutex_);
    return lastHead_;
  }

  // A handler that sends bytes and closes.
  static Handler Answer(const std::string& bytes) {
    return [bytes](int fd, const std::string&, const std::atomic<bool>&) { SendAll(fd, bytes); };
  }
  // A handler that holds the connection without a word until the test ends.
  static void Hang(int, const std::string&, const std::atomic<bool>& stopping) {
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (!stopping && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

 private:
  void Accept() {
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (!stopping_ && std::chrono::steady_clock::now() < end) {
      pollfd ready{.fd = listener_, .events = POLLIN, .revents = 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      connections_.emplace_back([this, fd] {
        std::string head;
        char chunk[1024];
        while (head.find("\r\n\r\n") == std::string::npos) {
          pollfd readable{.fd = fd, .events = POLLIN, .revents = 0};
          if (poll(&readable, 1, 1000) <= 0) break;
          const auto got = read(fd, chunk, sizeof chunk);
          if (got <= 0) break;
          head.append(chunk, static_cast<std::size_t>(got));
        }
        {
          const std::lock_guard lock(mutex_);
          lastHead_ = head;
        }
        ++requests_;
        handler_(fd, head, stopping_);
        close(fd);
      });
    }
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> requests_{0};
  mutable std::mutex mutex_;
  std::string lastHead_;
  std::vector<std::thread> connections_;  // only the acceptor adds, and it is joined first
  std::thread acceptor_;
};

}  // namespace talvo::fake
