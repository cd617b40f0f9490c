#include "http/server.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <mutex>
#include <optional>

namespace talvo::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

std::string_view Request::Path() const {
  const std::string_view whole = target;
  return whole.substr(0, whole.find('?'));
}

std::string_view Request::RawQuery() const {
  const std::string_view whole = target;
  const auto mark = whole.find('?');
  return mark == std::string_view::npos ? std::string_view() : whole.substr(mark + 1);
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();

// A request's header, a small body and the start of the next pipelined request fit; the rest
// waits in the socket until this one is answered.
// Beast counts its header limit in its own way (the request line apart); ours is counted exactly
// on the bytes the header took, and Beast's, a little higher, only stops a header without end.
constexpr std::size_t kParserHeaderLimit = kHeaderLimit + 4096;
constexpr std::size_t kReadBufferLimit = kParserHeaderLimit + kBodyLimit + 4096;
// What a connection between requests keeps of its read buffer and of its request's target: a
// request's worth, so that the next one needs no allocation, while a large one gives it back.
constexpr std::size_t kIdleBuffer = 1024;
// After a refusal the client's unread bytes are read and dropped for this long before closing,
// so the refusal is not lost to a reset; a client still sending after it is cut off.
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kDrainChunk = 4096;
// After a failed accept (out of file descriptors), before trying again.
constexpr std::chrono::milliseconds kAcceptRetry{50};
// When the deadline timer finds the pool's thread starting an operation, before it looks again.
constexpr std::chrono::milliseconds kBusyRetry{10};
// "HTTP/1.1", after the method and target and their two spaces.
constexpr std::size_t kVersionLength = 8;

constexpr const char* kPlain = "text/plain; charset=utf-8";

Response Refusal(int status, const char* text) {
  return {.status = status, .contentType = kPlain, .headers = {}, .body = text};
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Four decimal numbers of 0 to 255, as a browser writes any IPv4 address it is given.
bool IsIpv4(std::string_view name) {
  for (int numbers = 1;; ++numbers) {
    const auto dot = name.find('.');
    const auto digits = name.substr(0, dot);
    if (digits.empty() || digits.size() > 3 || !AllDigits(digits)) return false;
    int value = 0;
    for (const char c : digits) value = value * 10 + (c - '0');
    if (value > 255) return false;
    if (dot == std::string_view::npos) return numbers == 4;
    if (numbers == 4) return false;
    name.remove_prefix(dot + 1);
  }
}

// Without a zone: a browser sends none.
bool IsIpv6(std::string_view literal) {
  std::array<char, 64> text{};
  if (literal.empty() || literal.size() >= text.size() ||
      literal.find('%') != std::string_view::npos)
    return false;
  std::copy(literal.begin(), literal.end(), text.begin());
  beast::error_code error;
  asio::ip::make_address_v6(text.data(), error);
  return !error;
}

enum class HostName { kOurs, kForeign, kMalformed };

// What a Host field's value names. A page reads an answer only from its own origin, so a page on
// any site could read ours if its name were pointed at this machine (DNS rebinding): the server
// answers only its own names. Those are loopback names ("localhost", and every name under
// ".localhost", which resolves to loopback by rule), the name it listens on, and any IP address:
// an address is never looked up, so it cannot be rebound, and a page served from an address that
// reaches this server was served by this server. That holds on a wildcard listen address (0.0.0.0,
// ::) too, where the machine's LAN address is how other devices reach it; a host name of the
// machine is taken only when the server listens on it. The port is not compared: a client behind
// a forwarded port names another.
HostName JudgeHost(std::string_view value, std::string_view own) {
  std::string_view name = value;
  std::string_view port;
  const bool bracketed = name.starts_with('[');
  if (bracketed) {
    const auto end = name.find(']');
    if (end == std::string_view::npos) return HostName::kMalformed;
    port = name.substr(end + 1);
    name = name.substr(1, end - 1);
    if (!port.empty() && !port.starts_with(':')) return HostName::kMalformed;
    if (!port.empty()) port.remove_prefix(1);
  } else if (const auto colon = name.find(':'); colon != std::string_view::npos) {
    port = name.substr(colon + 1);
    name = name.substr(0, colon);
  }
  if (!AllDigits(port)) return HostName::kMalformed;
  if (bracketed) return IsIpv6(name) ? HostName::kOurs : HostName::kMalformed;
  // A name with the root's dot is the same name.
  if (name.ends_with('.')) name.remove_suffix(1);
  if (own.ends_with('.')) own.remove_suffix(1);
  constexpr std::string_view kLoopback = "localhost";
  const bool underLoopback = name.size() > kLoopback.size() &&
                             name[name.size() - kLoopback.size() - 1] == '.' &&
                             EqualNoCase(name.substr(name.size() - kLoopback.size()), kLoopback);
  if (IsIpv4(name) || EqualNoCase(name, kLoopback) || underLoopback) return HostName::kOurs;
  return !name.empty() && EqualNoCase(name, own) ? HostName::kOurs : HostName::kForeign;
}

// What the routes need of a request: its line, read into the connection's own Request so that its
// strings keep their room from one request to the next. Header fields are checked and dropped,
// never stored (Beast's own container also throws on a field over 64 KiB), and so is a body; of
// the Host field only its verdict is kept.
class RequestReader : public bhttp::basic_parser<true> {
 public:
  RequestReader(Request& into, std::string_view ownName) : into_(into), ownName_(ownName) {}

  bhttp::verb verb = bhttp::verb::unknown;
  unsigned version = 11;
  bool lineRead = false;
  int hostFields = 0;
  HostName host = HostName::kForeign;  // what the last Host field named

 private:
  void on_request_impl(bhttp::verb v, beast::string_view methodText, beast::string_view targetText,
                       int httpVersion, beast::error_code&) override {
    verb = v;
    into_.method.assign(methodText.data(), methodText.size());
    into_.target.assign(targetText.data(), targetText.size());
    version = static_cast<unsigned>(httpVersion);
    lineRead = true;
  }
  void on_response_impl(int, beast::string_view, int, beast::error_code&) override {}
  void on_field_impl(bhttp::field name, beast::string_view, beast::string_view value,
                     beast::error_code&) override {
    if (name != bhttp::field::host) return;
    ++hostFields;
    host = JudgeHost({value.data(), value.size()}, ownName_);
  }
  void on_header_impl(beast::error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>&, beast::error_code&) override {}
  std::size_t on_body_impl(beast::string_view body, beast::error_code&) override {
    return body.size();
  }
  void on_chunk_header_impl(std::uint64_t, beast::string_view, beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, beast::string_view body,
                                 beast::error_code&) override {
    return body.size();
  }
  void on_finish_impl(beast::error_code&) override {}

  Request& into_;
  std::string_view ownName_;
};

// An answer's status line and header fields, as the request's version wants them, after what
// head holds. Fields whose name or value could break the header (a line end, a NUL) are left out.
void AppendHead(std::string& head, const Response& response, unsigned version, bool keepAlive) {
  head += version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
  head += std::to_string(response.status);
  head += ' ';
  const auto reason =
      bhttp::obsolete_reason(bhttp::int_to_status(static_cast<unsigned>(response.status)));
  head.append(reason.data(), reason.size());
  head += "\r\n";
  const auto field = [&head](std::string_view name, std::string_view value) {
    constexpr std::string_view kBreaking{"\r\n\0", 3};
    if (name.find_first_of(kBreaking) != std::string_view::npos ||
        value.find_first_of(kBreaking) != std::string_view::npos)
      return;
    head.append(name);
    head += ": ";
    head.append(value);
    head += "\r\n";
  };
  if (!response.contentType.empty()) field("Content-Type", response.contentType);
  for (const auto& [name, value] : response.headers) field(name, value);
  field("Content-Length", std::to_string(response.body.size()));
  // HTTP/1.1 keeps a connection unless told; HTTP/1.0 closes it unless told.
  if (version == 10 && keepAlive) field("Connection", "keep-alive");
  if (version != 10 && !keepAlive) field("Connection", "close");
  head += "\r\n";
}

}  // namespace

class Server::Impl {
 public:
  Impl(Handler handler, ServerOptions options)
      : handler_(std::move(handler)), options_(std::move(options)), acceptor_(io_), retry_(io_) {}
  ~Impl() {
    stopping_ = true;
    io_.stop();
    workers_.stop();
    workers_.join();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool Listen(const std::string& host, int port, std::string& error);
  void Run() {
    Accept();
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
        // A handler of the loop failed (out of memory): its connection went with it, the
        // others are still served.
      }
    }
  }
  void Stop() { io_.stop(); }
  int Port() const { return port_; }

  // Called as each connection ends, on whatever thread lets it go.
  void Closed() noexcept {
    if (connections_.fetch_sub(1) < kMaxConnections || stopping_) return;
    try {
      asio::post(io_, [this] {
        if (!accepting_) Accept();
      });
    } catch (...) {
      // Out of memory, with no way to wake the loop: it stops accepting until restarted.
    }
  }

  // Before the loop, so connections that end as it is torn down can still count themselves out.
  std::atomic<std::size_t> connections_{0};
  std::atomic<bool> stopping_{false};
  const Handler handler_;
  const ServerOptions options_;
  asio::io_context io_{1};
  // The loop must not end when every connection waits on a handler (and accepting is paused at
  // the cap): work on the pool is not the loop's own. Only Stop ends it.
  asio::executor_work_guard<asio::io_context::executor_type> busy_{io_.get_executor()};
  asio::thread_pool workers_{kWorkers};

 private:
  class Session;
  void Accept();
  // A connection just accepted, already counted.
  void Serve(tcp::socket socket) noexcept;

  tcp::acceptor acceptor_;
  asio::steady_timer retry_;
  int port_ = 0;
  bool accepting_ = false;  // the loop's own
};

// The completion handlers below start each other's operations; that is a chain of callbacks,
// each run after the last returned, not recursion.
// NOLINTBEGIN(misc-no-recursion)

// One client connection: reads a request, has it answered on the pool, writes the answer, and
// reads the next, one at a time, so pipelined requests are answered in order.
//
// The loop reads and parses; the pool's thread that answered writes the answer and starts the
// next read itself, so a request costs one hand-over, not two. The socket is used by one thread
// at a time, the one that holds the request, except for the deadline timer, which is the loop's
// own: it closes the socket of a client past its deadline, and guard_ keeps that apart from the
// pool's thread starting an operation.
class Server::Impl::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Impl& server, tcp::socket socket)
      : server_(server),
        socket_(std::move(socket)),
        timer_(server.io_),
        buffer_(kReadBufferLimit) {}
  ~Session() { server_.Closed(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // On the loop.
  void Start() {
    ReadRequest();
    Watch(deadline_);
  }

 private:
  // On the loop or on the pool: whichever holds the connection.
  void ReadRequest() {
    parser_.emplace(request_, server_.options_.hostName);
    parser_->header_limit(kParserHeaderLimit);
    parser_->body_limit(kBodyLimit);
    const std::lock_guard lock(guard_);
    // Once, for the whole request: a trickling client cannot stretch it byte by byte.
    deadline_ = Clock::now() + server_.options_.requestTimeout;
    bhttp::async_read_header(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, std::size_t used) {
          self->OnHeader(error, used);
        });
  }

  // The deadline is checked when the timer runs out, not set on it: one wait in a request
  // timeout, however many requests come meanwhile. On the loop.
  void Watch(Clock::time_point at) {
    timer_.expires_at(at);
    timer_.async_wait([weak = weak_from_this()](beast::error_code error) {
      if (error) return;  // a sooner expiry replaced it, or the connection is gone
      if (const auto self = weak.lock()) self->OnTimer();
    });
  }

  void OnTimer() {
    const auto now = Clock::now();
    Clock::time_point next = now + kBusyRetry;
    // The loop never waits for the pool: a thread starting an operation is let finish first.
    if (std::unique_lock lock(guard_, std::try_to_lock); lock) {
      const Clock::time_point deadline = deadline_;
      if (deadline <= now) {
        // The operation the client keeps waiting ends, and with it the connection.
        beast::error_code ignored;
        socket_.close(ignored);
        return;
      }
      // While a request is answered, nothing is timed.
      next = deadline == kNever ? now + server_.options_.requestTimeout : deadline;
    }
    Watch(next);
  }

  // Refuses what cannot be answered and closes; true if it did, or if the connection is over.
  bool Failed(beast::error_code error) {
    if (!error) return false;
    if (error == bhttp::error::end_of_stream || error == bhttp::error::partial_message)
      return true;  // the client closed
    if (error == bhttp::error::header_limit || error == bhttp::error::buffer_overflow)
      Refuse(FirstLineEnded() ? Refusal(431, "Request header too large.\n")
                              : Refusal(414, "Request line too long.\n"));
    else if (error == bhttp::error::body_limit)
      Refuse(Refusal(413, "A GET or HEAD request carries no body.\n"));
    else if (error.category() == bhttp::make_error_code(bhttp::error::bad_target).category())
      Refuse(Refusal(400, "Bad request.\n"));
    // Anything else: timed out, reset, or the server is stopping.
    return true;
  }

  void OnHeader(beast::error_code error, std::size_t used) {
    // No route takes a body: a method other than GET and HEAD is answered (refused) without
    // reading it, however large, and the rest is dropped as after any refusal.
    const bool refusedMethod = FirstLineEnded() && !TakesNoBody();
    if (!(refusedMethod && error == bhttp::error::body_limit) && Failed(error)) return;
    if (request_.method.size() + request_.target.size() + 2 + kVersionLength > kRequestLineLimit)
      return Refuse(Refusal(414, "Request line too long.\n"));
    if (used > kHeaderLimit) return Refuse(Refusal(431, "Request header too large.\n"));
    // HTTP/1.1 requires one Host field; a browser always sends it, so HTTP/1.0 may go without.
    if (parser_->hostFields > 1 || (parser_->hostFields == 0 && parser_->version != 10) ||
        parser_->host == HostName::kMalformed)
      return Refuse(Refusal(400, "Bad request: one Host field, well formed.\n"));
    if (parser_->hostFields == 1 && parser_->host == HostName::kForeign)
      return Refuse(Refusal(421, "Not served under this name.\n"));
    if (refusedMethod) return Dispatch(true);
    if (parser_->is_done()) return Dispatch();
    bhttp::async_read(socket_, buffer_, *parser_,
                      [self = shared_from_this()](beast::error_code failure, std::size_t) {
                        if (!self->Failed(failure)) self->Dispatch();
                      });
  }

  // closeAfter: the answer is the last on this connection, and what the client still sends is
  // read and dropped. On the loop.
  void Dispatch(bool closeAfter = false) {
    refused_ = closeAfter;
    keepAlive_ = !closeAfter && parser_->keep_alive();
    headRequest_ = parser_->verb == bhttp::verb::head;
    version_ = parser_->version;
    parser_.reset();
    if (buffer_.size() == 0 && buffer_.capacity() > kIdleBuffer) buffer_.shrink_to_fit();
    // The answer takes as long as the lookup does; only the write is timed again.
    deadline_ = kNever;
    asio::post(server_.workers_, [self = shared_from_this()]() noexcept { self->Answer(); });
  }

  // On the pool. Nothing may leave it: a pool thread's exception would end the process.
  void Answer() noexcept {
    try {
      Response response;
      try {
        response = server_.handler_(request_);
      } catch (...) {
        response = Refusal(500, "Server error.\n");
      }
      Send(response);
    } catch (...) {
      // Out of memory even for that: the connection is dropped with its last reference.
    }
  }

  bool TakesNoBody() const {
    return parser_->verb == bhttp::verb::get || parser_->verb == bhttp::verb::head;
  }

  // Whether the request line was read, for a header that did not fit: which limit it broke.
  bool FirstLineEnded() const { return parser_ && parser_->lineRead; }

  void Send(Response& response) {
    head_.clear();
    AppendHead(head_, response, version_, keepAlive_);
    // HEAD's length is the GET's; its body stays unsent.
    body_ = headRequest_ ? std::string() : std::move(response.body);
    std::array<asio::const_buffer, 2> answer{asio::buffer(head_), asio::buffer(body_)};
    // Most answers fit in the socket's buffer at once (it does not block: see Accept).
    beast::error_code error;
    std::size_t sent = socket_.write_some(answer, error);
    if (sent == head_.size() + body_.size()) return Next();
    if (error && error != asio::error::would_block) return;  // the client is gone
    for (auto& buffer : answer) {
      const auto done = std::min(sent, buffer.size());
      buffer += done;
      sent -= done;
    }
    const std::lock_guard lock(guard_);
    // A client that stops reading its answer is cut off like one that stops sending.
    deadline_ = Clock::now() + server_.options_.requestTimeout;
    asio::async_write(socket_, answer,
                      [self = shared_from_this()](beast::error_code failure, std::size_t) {
                        if (!failure) self->Next();
                      });
  }

  // After an answer is sent.
  void Next() {
    // A connection waiting for its next request keeps no answer, nor the room of a long target.
    body_ = {};
    if (request_.target.capacity() > kIdleBuffer) request_.target = {};
    if (refused_) {
      asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Linger(); });
      return;
    }
    if (!keepAlive_) {
      beast::error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_send, ignored);
      return;
    }
    ReadRequest();
  }

  // On the loop.
  void Refuse(Response response) {
    parser_.reset();
    refused_ = true;
    keepAlive_ = false;
    headRequest_ = false;
    version_ = 11;
    Send(response);
  }

  // Reads and drops what the client still sends, until it closes or the time is up. On the loop.
  void Linger() {
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    const auto until = Clock::now() + kLingerTime;
    deadline_ = until;
    if (until < timer_.expiry()) Watch(until);
    Drain();
  }
  void Drain() {
    socket_.async_read_some(buffer_.prepare(kDrainChunk),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                              if (!error) self->Drain();
                            });
  }

  Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;  // the loop's own
  beast::flat_buffer buffer_;
  Request request_;
  std::optional<RequestReader> parser_;
  std::string head_;  // the answer being written
  std::string body_;
  // Held by the pool's thread from setting a deadline until its operation has started.
  std::mutex guard_;
  std::atomic<Clock::time_point> deadline_{kNever};  // when the client is cut off
  unsigned version_ = 11;
  bool keepAlive_ = false;
  bool headRequest_ = false;
  bool refused_ = false;
};

// NOLINTEND(misc-no-recursion)

bool Server::Impl::Listen(const std::string& host, int port, std::string& error) {
  beast::error_code failure;
  tcp::resolver resolver(io_);
  const auto found = resolver.resolve(
      host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, failure);
  if (failure || found.empty()) {
    error = failure ? failure.message() : "no such address";
    return false;
  }
  const tcp::endpoint endpoint = found.begin()->endpoint();
  acceptor_.open(endpoint.protocol(), failure);
#ifndef _WIN32
  // Lets a restarted server bind while its old connections linger in TIME_WAIT; a second live
  // listener is still refused. Windows gives the option the other meaning (taking over a port in
  // use), so it stays off there.
  if (!failure) acceptor_.set_option(tcp::acceptor::reuse_address(true), failure);
#endif
  if (!failure) acceptor_.bind(endpoint, failure);
  if (!failure) acceptor_.listen(kBacklog, failure);
  if (failure) {
    // The system's words for it differ by system and language (Windows under Wine has none);
    // the failure a user can act on is said in ours, the same everywhere.
    error = failure == boost::asio::error::address_in_use ? "address already in use"
                                                          : failure.message();
    acceptor_.close(failure);
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  return true;
}

void Server::Impl::Accept() {
  if (connections_ >= kMaxConnections) {
    accepting_ = false;  // Closed() starts it again
    return;
  }
  acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (error) {
      retry_.expires_after(kAcceptRetry);
      retry_.async_wait([this](beast::error_code waited) {
        if (!waited) Accept();
      });
      return;
    }
    ++connections_;
    Serve(std::move(socket));
    Accept();
  });
  accepting_ = true;
}

void Server::Impl::Serve(tcp::socket socket) noexcept {
  beast::error_code ignored;
  // Head and body go out in one write, but the next answer on the connection must not wait
  // for the client's delayed ACK of this one.
  socket.set_option(tcp::no_delay(true), ignored);
  beast::error_code failed;
  // The pool's threads write answers themselves: a client that does not read must not hold
  // one, so a write takes what fits and the loop waits for the rest.
  socket.non_blocking(true, failed);
  std::shared_ptr<Session> session;
  try {
    if (!failed) session = std::make_shared<Session>(*this, std::move(socket));
  } catch (...) {
    // Out of memory: this client is let go.
  }
  if (!session) return Closed();
  try {
    session->Start();
  } catch (...) {
    // Its first read could not start: the session ends here, and counts itself out.
  }
}

Server::Server(Handler handler, ServerOptions options)
    : impl_(std::make_unique<Impl>(std::move(handler), std::move(options))) {}

Server::~Server() = default;

bool Server::Listen(const std::string& host, int port, std::string& error) {
  return impl_->Listen(host, port, error);
}

int Server::Port() const {
  return impl_->Port();
}

void Server::Run() {
  impl_->Run();
}

void Server::Stop() {
  impl_->Stop();
}

}  // namespace talvo::http
