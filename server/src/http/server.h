// HTTP/1.1 on one listening socket: a request in, a response out. Connections are served by one
// event loop, so a slow or idle client costs its buffer, not a thread; handlers run on a small
// pool of their own, since a page's lookup may wait on the disk. Only this module speaks HTTP.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/limits.h"

namespace talvo::http {

struct Request {
  std::string method;  // as sent: "GET", "HEAD", "POST" ...
  std::string target;  // the path and the query as sent, "%" escapes and all

  std::string_view Path() const;
  // What follows the first '?', still escaped; empty when there is none.
  std::string_view RawQuery() const;
};

struct Response {
  int status = 200;
  std::string contentType;
  // Besides type and length; a field with a line end or a NUL in it is left out.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // for HEAD, only its length is sent
};

// Answers one request; called on the handler pool, several at once, never for a request the
// server refused by itself (a header or body over its limit, one that is not HTTP, or one sent
// to a name that is not the server's). Whatever it throws is answered 500.
using Handler = std::function<Response(const Request&)>;

// Limits on what one client may hold (core/limits.h). A request whose line is too long is
// answered 414, whose header is too large 431, whose body is too large 413; each closes its
// connection. Past kMaxConnections the server stops accepting and the rest wait in the backlog.
using limits::kBacklog;
using limits::kBodyLimit;
using limits::kHeaderLimit;
using limits::kMaxConnections;
using limits::kRequestLineLimit;
using limits::kRequestTimeout;
using limits::kWorkers;

struct ServerOptions {
  std::chrono::milliseconds requestTimeout = kRequestTimeout;
  // The name the server is reached by besides loopback names and IP addresses: the host it
  // listens on. A request whose Host names anything else is refused 421 (see server.cpp).
  std::string hostName;
};

class Server {
 public:
  Server(Handler handler, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds host:port (port 0: any free port) and listens, without sharing the port with another
  // listener. False with error set to the system's reason ("Address already in use").
  bool Listen(const std::string& host, int port, std::string& error);
  // The port bound by Listen.
  int Port() const;

  // Serves on the calling thread until Stop; returns at once if Stop came first.
  void Run();
  // Safe from any thread and at any time, before Run too. Connections are closed, answers in
  // progress are dropped.
  void Stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace talvo::http
