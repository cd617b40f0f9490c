// The HTTP layer end to end, through the real server program (server_harness.h): what a client
// may send (limits at the limit and one past it, the names it may use), pipelining, many slow,
// idle or simultaneous clients, the request timeout, a port already held, and stopping at any
// moment; and in this process, with handlers of the tests' own: one that throws, a name of its
// own, an answer larger than the socket takes at once.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "http/server.h"
#include "server_harness.h"

namespace {

using namespace talvo::e2e;  // NOLINT(google-build-using-namespace)

constexpr std::string_view kShow = "/kr/lyrics_plugin_show.html?title=Night+Song&singer=Some+Band";
constexpr std::string_view kLyrics = "The night is long";

class HttpTest : public ServerHarness {
 protected:
  void SetUp() override {
    ServerHarness::SetUp();
    if (IsSkipped()) return;
    WriteFile(library_ / "Some Band - Night Song.txt",
              "The night is long\nand the stars are out\n");
  }
};

// The show page on a fresh connection: the server is still serving pages.
void ExpectServing(int port) {
  const auto reply = Get(port, kShow);
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find(kLyrics), std::string::npos);
}

class RunningHttpTest : public HttpTest {
 protected:
  void SetUp() override {
    HttpTest::SetUp();
    if (IsSkipped()) return;
    port_ = Start();
    ASSERT_NE(port_, 0) << Errors();
  }

  int port_ = 0;
};

// One answer read off a kept-alive connection, by its Content-Length (none for HEAD); the
// status, or 0 when the connection ends first.
int ReadAnswer(int sock, std::string& pending, bool head = false, std::string* body = nullptr) {
  char chunk[8192];
  for (;;) {
    const auto end = pending.find("\r\n\r\n");
    if (end != std::string::npos) {
      const auto header = std::string_view(pending).substr(0, end);
      std::size_t length = 0;
      if (const auto at = header.find("Content-Length: "); at != std::string_view::npos)
        length = std::stoul(std::string(header.substr(at + 16, header.find('\r', at) - at - 16)));
      if (head) length = 0;
      if (pending.size() >= end + 4 + length) {
        const int status = std::stoi(pending.substr(9, 3));
        if (body) *body = pending.substr(end + 4, length);
        pending.erase(0, end + 4 + length);
        return status;
      }
    }
    const auto got = read(sock, chunk, sizeof chunk);
    if (got <= 0) return 0;
    pending.append(chunk, static_cast<std::size_t>(got));
  }
}

constexpr std::string_view kHost = "Host: localhost\r\n";

std::string RequestLine(std::string_view target, std::string_view connection = "close") {
  return "GET " + std::string(target) +
         " HTTP/1.1\r\nHost: localhost\r\nConnection: " + std::string(connection) + "\r\n\r\n";
}

// A request whose header (request line, fields and the blank line) is exactly size bytes.
std::string HeaderOfSize(std::size_t size) {
  const std::string head =
      "GET / HTTP/1.1\r\n" + std::string(kHost) + "Connection: close\r\nX-Pad: ";
  return head + std::string(size - head.size() - 4, 'a') + "\r\n\r\n";
}

// A request whose line, without its CRLF, is exactly size bytes.
std::string LineOfSize(std::size_t size) {
  const std::string around = "GET / HTTP/1.1";
  return "GET /" + std::string(size - around.size(), 'a') + " HTTP/1.1\r\n" + std::string(kHost) +
         "Connection: close\r\n\r\n";
}

std::string GetWithBody(std::size_t size) {
  return "GET / HTTP/1.1\r\n" + std::string(kHost) +
         "Connection: close\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
         std::string(size, 'x');
}

std::string Repeated(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

struct LimitCase {
  const char* name;
  std::string request;
  int status;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << c.name;
}

class LimitTest : public RunningHttpTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(LimitTest, AnswersAndKeepsServing) {
  const auto& param = GetParam();
  const auto reply = Send(port_, param.request);
  EXPECT_EQ(reply.status, param.status) << reply.headers;
  if (param.status >= 400 && param.status != 404) {
    EXPECT_NE(reply.headers.find("text/plain"), std::string::npos) << reply.headers;
    EXPECT_NE(reply.headers.find("Connection: close"), std::string::npos) << reply.headers;
  }
  ExpectServing(port_);
}

const LimitCase kLimits[] = {
    {"header_at_limit", HeaderOfSize(talvo::http::kHeaderLimit), 200},
    {"header_over_limit", HeaderOfSize(talvo::http::kHeaderLimit + 1), 431},
    {"one_field_of_70_kib", "GET / HTTP/1.1\r\nX: " + std::string(70'000, 'a') + "\r\n\r\n", 431},
    {"header_line_without_end", "GET / HTTP/1.1\r\nX: " + std::string(std::size_t{256} * 1024, 'a'),
     431},
    {"many_small_fields", "GET / HTTP/1.1\r\n" + Repeated("X: y\r\n", 20'000) + "\r\n", 431},
    {"request_line_at_limit", LineOfSize(talvo::http::kRequestLineLimit), 404},
    {"request_line_over_limit", LineOfSize(talvo::http::kRequestLineLimit + 1), 414},
    {"request_line_without_end", "GET /" + std::string(std::size_t{256} * 1024, 'a'), 414},
    {"body_at_limit", GetWithBody(talvo::http::kBodyLimit), 200},
    {"body_over_limit", GetWithBody(talvo::http::kBodyLimit + 1), 413},
    {"body_length_huge", "GET / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", 413},
    {"chunked_body_over_limit",
     "GET / HTTP/1.1\r\n" + std::string(kHost) + "Transfer-Encoding: chunked\r\n\r\n800\r\n" +
         std::string(2048, 'x') + "\r\n0\r\n\r\n",
     413},
    // A method no route takes is refused without reading its body, however large.
    {"post_body_over_limit",
     "POST / HTTP/1.1\r\n" + std::string(kHost) + "Content-Length: 65536\r\n\r\n" +
         std::string(65536, 'x'),
     405},
    {"post_length_huge",
     "POST /song HTTP/1.1\r\n" + std::string(kHost) + "Content-Length: 99999999999\r\n\r\n", 405},
    {"not_http", "HELLO\r\n\r\n", 400},
    {"bad_version", "GET / HTTP/9\r\n\r\n", 400},
};

INSTANTIATE_TEST_SUITE_P(Http, LimitTest, testing::ValuesIn(kLimits),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(RunningHttpTest, PipelinedRequestsAreAnsweredInOrder) {
  const int sock = Connect(port_);
  ASSERT_GE(sock, 0);
  ASSERT_TRUE(SendAll(
      sock, RequestLine(kShow, "keep-alive") + "HEAD / HTTP/1.1\r\nHost: localhost\r\n\r\n" +
                RequestLine("/no-such-page", "keep-alive") + RequestLine("/search?q=stars")));
  std::string pending;
  std::string body;
  EXPECT_EQ(ReadAnswer(sock, pending, false, &body), 200);
  EXPECT_NE(body.find(kLyrics), std::string::npos);
  EXPECT_EQ(ReadAnswer(sock, pending, true), 200);
  EXPECT_EQ(ReadAnswer(sock, pending, false, &body), 404);
  EXPECT_EQ(body, "Not found.\n");
  EXPECT_EQ(ReadAnswer(sock, pending, false, &body), 200);
  EXPECT_NE(body.find("Night Song</a>"), std::string::npos);
  EXPECT_EQ(ReadAnswer(sock, pending), 0) << "closed after the last, which asked for it";
  EXPECT_TRUE(pending.empty()) << pending;
  close(sock);
}

struct VersionCase {
  const char* name;
  std::string request;     // the show page's request line and fields
  std::string statusLine;  // as answered
  std::string connection;  // the answer's Connection field; empty: none
  bool kept;               // whether a second request on the connection is answered
};

void PrintTo(const VersionCase& c, std::ostream* os) {
  *os << c.name;
}

class VersionTest : public RunningHttpTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, KeepsOrClosesAsTheClientAsks) {
  const VersionCase& c = GetParam();
  const int sock = Connect(port_);
  ASSERT_GE(sock, 0);
  const std::string request = "GET " + std::string(kShow) + " " + c.request + "\r\n\r\n";
  ASSERT_TRUE(SendAll(sock, request));
  std::string pending;
  char chunk[8192];
  ssize_t got = 0;
  while (pending.find("\r\n\r\n") == std::string::npos &&
         (got = read(sock, chunk, sizeof chunk)) > 0)
    pending.append(chunk, static_cast<std::size_t>(got));
  const std::string header = pending.substr(0, pending.find("\r\n\r\n") + 2);
  EXPECT_TRUE(header.starts_with(c.statusLine + "\r\n")) << header;
  const auto field = header.find("\r\nConnection: ");
  EXPECT_EQ(field == std::string::npos
                ? ""
                : header.substr(field + 14, header.find('\r', field + 2) - field - 14),
            c.connection);

  EXPECT_EQ(ReadAnswer(sock, pending), 200);
  if (c.kept) {
    ASSERT_TRUE(SendAll(sock, request));
    EXPECT_EQ(ReadAnswer(sock, pending), 200);
  } else {
    EXPECT_EQ(ReadAnswer(sock, pending), 0) << "closed";
  }
  close(sock);
}

INSTANTIATE_TEST_SUITE_P(
    Http, VersionTest,
    testing::Values(VersionCase{"http11", "HTTP/1.1\r\nHost: localhost", "HTTP/1.1 200 OK", "",
                                true},
                    VersionCase{"http11_close", "HTTP/1.1\r\nHost: localhost\r\nConnection: close",
                                "HTTP/1.1 200 OK", "close", false},
                    VersionCase{"http10", "HTTP/1.0", "HTTP/1.0 200 OK", "", false},
                    VersionCase{"http10_keep_alive", "HTTP/1.0\r\nConnection: keep-alive",
                                "HTTP/1.0 200 OK", "keep-alive", true}),
    [](const testing::TestParamInfo<VersionCase>& row) { return std::string(row.param.name); });

struct HostCase {
  const char* name;
  std::string head;  // after the show page's target: the version and the fields, PORT the port
  int status;
};

void PrintTo(const HostCase& c, std::ostream* os) {
  *os << c.name;
}

class HostTest : public RunningHttpTest, public testing::WithParamInterface<HostCase> {};

// A page elsewhere that had its name pointed at this machine must read nothing of it.
TEST_P(HostTest, OnlyTheServersOwnNamesAreAnswered) {
  const auto& c = GetParam();
  std::string head = c.head;
  if (const auto at = head.find("PORT"); at != std::string::npos)
    head.replace(at, 4, std::to_string(port_));
  const auto reply = Send(port_, "GET " + std::string(kShow) + head + "Connection: close\r\n\r\n");
  EXPECT_EQ(reply.status, c.status) << reply.headers;
  if (c.status == 200) {
    EXPECT_NE(reply.body.find(kLyrics), std::string::npos);
  } else {
    EXPECT_EQ(reply.body.find(kLyrics), std::string::npos) << reply.body;
    EXPECT_NE(reply.headers.find("text/plain"), std::string::npos) << reply.headers;
  }
}

// The server listens on 127.0.0.1.
const HostCase kHosts[] = {
    {"listen_address_and_port", " HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\n", 200},
    {"listen_address_alone", " HTTP/1.1\r\nHost: 127.0.0.1\r\n", 200},
    {"localhost_as_the_plugin_asks", " HTTP/1.1\r\nHost: localhost:8765\r\n", 200},
    {"localhost_in_upper_case", " HTTP/1.1\r\nHost: LOCALHOST:PORT\r\n", 200},
    {"localhost_with_the_roots_dot", " HTTP/1.1\r\nHost: localhost.\r\n", 200},
    {"name_under_localhost", " HTTP/1.1\r\nHost: lyrics.LocalHost:PORT\r\n", 200},
    {"another_loopback_address", " HTTP/1.1\r\nHost: 127.8.9.10\r\n", 200},
    {"v6_loopback", " HTTP/1.1\r\nHost: [::1]:PORT\r\n", 200},
    // An address cannot be rebound: a page from it was served by whatever answers there.
    {"lan_address", " HTTP/1.1\r\nHost: 192.168.1.20:PORT\r\n", 200},
    {"v6_lan_address", " HTTP/1.1\r\nHost: [fd00::20]\r\n", 200},
    {"http10_without_host", " HTTP/1.0\r\n", 200},
    {"foreign_name", " HTTP/1.1\r\nHost: evil.example\r\n", 421},
    {"foreign_name_with_our_port", " HTTP/1.1\r\nHost: evil.example:PORT\r\n", 421},
    {"name_beginning_with_localhost", " HTTP/1.1\r\nHost: localhost.evil.example\r\n", 421},
    {"name_ending_in_localhost_without_a_dot", " HTTP/1.1\r\nHost: evillocalhost\r\n", 421},
    {"name_beginning_with_our_address", " HTTP/1.1\r\nHost: 127.0.0.1.evil.example\r\n", 421},
    {"address_with_five_numbers", " HTTP/1.1\r\nHost: 127.0.0.1.1\r\n", 421},
    {"http10_foreign_name", " HTTP/1.0\r\nHost: evil.example\r\n", 421},
    {"empty_host", " HTTP/1.1\r\nHost: \r\n", 421},
    {"http11_without_host", " HTTP/1.1\r\n", 400},
    {"two_host_fields", " HTTP/1.1\r\nHost: localhost\r\nHost: localhost\r\n", 400},
    {"ours_then_foreign", " HTTP/1.1\r\nHost: localhost\r\nhost: evil.example\r\n", 400},
    {"port_not_a_number", " HTTP/1.1\r\nHost: localhost:80a\r\n", 400},
    {"brackets_without_v6", " HTTP/1.1\r\nHost: [localhost]:PORT\r\n", 400},
    {"brackets_unclosed", " HTTP/1.1\r\nHost: [::1:PORT\r\n", 400},
};

INSTANTIATE_TEST_SUITE_P(Http, HostTest, testing::ValuesIn(kHosts),
                         [](const auto& test) { return std::string(test.param.name); });

// The HTTP layer alone, in this process, on a handler of the test's own.
class InProcessServer {
 public:
  InProcessServer(talvo::http::Handler handler, talvo::http::ServerOptions options)
      : server_(std::move(handler), std::move(options)) {
    std::string error;
    listening_ = server_.Listen("127.0.0.1", 0, error);
    EXPECT_TRUE(listening_) << error;
    if (listening_) thread_ = std::thread([this] { server_.Run(); });
  }
  ~InProcessServer() {
    server_.Stop();
    if (thread_.joinable()) thread_.join();
  }
  InProcessServer(const InProcessServer&) = delete;
  InProcessServer& operator=(const InProcessServer&) = delete;

  int Port() const { return listening_ ? server_.Port() : 0; }

 private:
  talvo::http::Server server_;
  bool listening_ = false;
  std::thread thread_;
};

talvo::http::Response Ok() {
  return {.status = 200, .contentType = "text/plain", .headers = {}, .body = "served\n"};
}

struct ThrowCase {
  const char* name;
  void (*fail)();
};

void PrintTo(const ThrowCase& c, std::ostream* os) {
  *os << c.name;
}

class HandlerThrowsTest : public testing::TestWithParam<ThrowCase> {};

TEST_P(HandlerThrowsTest, TheRequestIsAnswered500AndTheServerGoesOn) {
  const auto fail = GetParam().fail;
  InProcessServer server(
      [fail](const talvo::http::Request& request) {
        if (request.Path() == "/fail") fail();
        return Ok();
      },
      {});
  ASSERT_NE(server.Port(), 0);
  const auto failed = Get(server.Port(), "/fail");
  EXPECT_EQ(failed.status, 500) << failed.headers;
  EXPECT_EQ(Get(server.Port(), "/").body, "served\n");
}

INSTANTIATE_TEST_SUITE_P(
    Http, HandlerThrowsTest,
    testing::Values(ThrowCase{"an_int", [] { throw 42; }},
                    ThrowCase{"a_standard_exception", [] { throw std::runtime_error("failed"); }},
                    ThrowCase{"out_of_memory", [] { throw std::bad_alloc(); }}),
    [](const auto& test) { return std::string(test.param.name); });

struct OwnNameCase {
  const char* name;
  const char* host;
  int status;
};

void PrintTo(const OwnNameCase& c, std::ostream* os) {
  *os << c.name;
}

class OwnNameTest : public testing::TestWithParam<OwnNameCase> {};

// Listening on a name of its own (--listen lyrics.example:8765), the server answers by it too,
// and a refused request never reaches the handler.
TEST_P(OwnNameTest, IsAnsweredBesideLoopback) {
  const auto& c = GetParam();
  std::atomic<int> calls{0};
  InProcessServer server(
      [&calls](const talvo::http::Request&) {
        ++calls;
        return Ok();
      },
      {.requestTimeout = talvo::http::kRequestTimeout, .hostName = "lyrics.example"});
  ASSERT_NE(server.Port(), 0);
  const auto reply = Send(server.Port(), "GET / HTTP/1.1\r\nHost: " + std::string(c.host) +
                                             "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(reply.status, c.status) << reply.headers;
  EXPECT_EQ(calls, c.status == 200 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Http, OwnNameTest,
    testing::Values(OwnNameCase{"its_name", "lyrics.example", 200},
                    OwnNameCase{"its_name_in_other_case_with_a_port", "Lyrics.EXAMPLE:8765", 200},
                    OwnNameCase{"its_name_with_the_roots_dot", "lyrics.example.", 200},
                    OwnNameCase{"localhost_still", "localhost:8765", 200},
                    OwnNameCase{"a_name_under_it", "www.lyrics.example", 421},
                    OwnNameCase{"a_name_beginning_with_it", "lyrics.example.evil.example", 421}),
    [](const auto& test) { return std::string(test.param.name); });

struct ReaderCase {
  const char* name;
  bool reads;  // as the answer comes, or not until long past the request timeout
  std::chrono::milliseconds timeout;
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
  *os << c.name;
}

class LargeAnswerTest : public testing::TestWithParam<ReaderCase> {};

// An answer far larger than the socket takes at once is sent whole to a client that reads it;
// one that stops reading is cut off like one that stops sending.
TEST_P(LargeAnswerTest, IsSentWholeOrCutOff) {
  const auto& c = GetParam();
  std::string page(std::size_t{16} << 20, '\0');
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<char>('a' + i % 23);
  InProcessServer server(
      [&page](const talvo::http::Request&) {
        return talvo::http::Response{
            .status = 200, .contentType = "text/plain", .headers = {}, .body = page};
      },
      {.requestTimeout = c.timeout, .hostName = {}});
  ASSERT_NE(server.Port(), 0);
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  // A small window: what the client does not read stays in the server's socket.
  const int window = 64 * 1024;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
  const timeval limit{.tv_sec = kHangMillis / 1000, .tv_usec = 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(server.Port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_TRUE(SendAll(sock, RequestLine("/")));
  if (!c.reads) std::this_thread::sleep_for(c.timeout * 10);
  const auto reply = ParseReply(ReadAll(sock));
  close(sock);
  EXPECT_EQ(reply.status, 200);
  if (c.reads) {
    EXPECT_TRUE(reply.body == page) << reply.body.size() << " bytes of " << page.size();
  } else {
    EXPECT_LT(reply.body.size(), page.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Http, LargeAnswerTest,
                         testing::Values(ReaderCase{"read", true, talvo::http::kRequestTimeout},
                                         ReaderCase{"not_read", false,
                                                    std::chrono::milliseconds(300)}),
                         [](const auto& test) { return std::string(test.param.name); });

// What each of many clients does while another asks for a page.
enum class Holding {
  kTrickling,  // a header begun and never finished, a byte now and then
  kIdle,       // a page answered, the connection kept open
  kSilent,     // connected, nothing sent
};

struct BusyCase {
  const char* name;
  Holding holding;
  int clients;
};

void PrintTo(const BusyCase& c, std::ostream* os) {
  *os << c.name;
}

class BusyClientsTest : public RunningHttpTest, public testing::WithParamInterface<BusyCase> {};

// Far more such clients than the server has handler threads: they must cost it no thread.
TEST_P(BusyClientsTest, APageIsStillServed) {
  const auto& param = GetParam();
  std::vector<int> socks;
  for (int i = 0; i < param.clients; ++i) {
    const int sock = Connect(port_);
    ASSERT_GE(sock, 0) << i;
    socks.push_back(sock);
    if (param.holding == Holding::kTrickling) {
      ASSERT_TRUE(SendAll(sock, "GET / HTTP/1.1\r\nX-Slow: "));
    } else if (param.holding == Holding::kIdle) {
      ASSERT_TRUE(SendAll(sock, RequestLine("/", "keep-alive")));
      std::string pending;
      ASSERT_EQ(ReadAnswer(sock, pending), 200) << i;
    }
  }
  for (int round = 0; round < 2; ++round) {
    if (param.holding == Holding::kTrickling)
      for (const int sock : socks) SendAll(sock, "a");
    ExpectServing(port_);
  }
  for (const int sock : socks) close(sock);
}

const BusyCase kBusy[] = {
    {"trickling_200", Holding::kTrickling, 200},
    {"idle_keep_alive_100", Holding::kIdle, 100},
    {"silent_200", Holding::kSilent, 200},
};

INSTANTIATE_TEST_SUITE_P(Http, BusyClientsTest, testing::ValuesIn(kBusy),
                         [](const auto& test) { return std::string(test.param.name); });

class TimeoutTest : public HttpTest, public testing::WithParamInterface<BusyCase> {};

// With a one-second limit, each kind of holding client is let go: the read sees the end.
TEST_P(TimeoutTest, TheServerClosesTheConnection) {
  const auto& param = GetParam();
  const int port = Start({"--idle-timeout", "1"});
  ASSERT_NE(port, 0) << Errors();
  const int sock = Connect(port);
  ASSERT_GE(sock, 0);
  std::string pending;
  if (param.holding == Holding::kIdle) {
    ASSERT_TRUE(SendAll(sock, RequestLine("/", "keep-alive")));
    ASSERT_EQ(ReadAnswer(sock, pending), 200);
  }
  if (param.holding == Holding::kTrickling) SendAll(sock, "GET / HTTP/1.1\r\n");
  // A trickler that keeps sending is cut off all the same: the limit is for the whole request.
  bool closed = false;
  for (int waited = 0; waited < kHangMillis && !closed; waited += 100) {
    if (param.holding == Holding::kTrickling && !SendAll(sock, "X: y\r\n")) closed = true;
    pollfd ready{.fd = sock, .events = POLLIN, .revents = 0};
    if (poll(&ready, 1, 100) > 0) {
      char byte = 0;
      closed = read(sock, &byte, 1) <= 0;
      ASSERT_TRUE(closed) << "no answer expected";
    }
  }
  EXPECT_TRUE(closed);
  close(sock);
  ExpectServing(port);
}

INSTANTIATE_TEST_SUITE_P(Http, TimeoutTest,
                         testing::Values(BusyCase{"trickling", Holding::kTrickling, 1},
                                         BusyCase{"idle_keep_alive", Holding::kIdle, 1},
                                         BusyCase{"silent", Holding::kSilent, 1}),
                         [](const auto& test) { return std::string(test.param.name); });

// As many file descriptors as the soft limit may rise to, up to want; whether want are there.
bool RaiseFileLimit(rlim_t want) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= want) return true;
  limit.rlim_cur = std::min(want, limit.rlim_max);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= want;
}

// More clients at once than the server keeps connections: the rest wait in the listen backlog
// and are answered in turn, none refused or dropped.
TEST_F(RunningHttpTest, AThousandClientsAtOnceAreAllAnswered) {
  constexpr int kClients = 1000;
  static_assert(kClients > static_cast<int>(talvo::http::kMaxConnections));
  static_assert(kClients <= talvo::http::kBacklog);
  if (!RaiseFileLimit(kClients + 64)) GTEST_SKIP() << "too few file descriptors";
  std::vector<int> socks;
  for (int i = 0; i < kClients; ++i) {
    const int sock = Connect(port_);
    ASSERT_GE(sock, 0) << "refused at client " << i;
    socks.push_back(sock);
  }
  const auto request = RequestLine("/api/lyrics?title=Night+Song&singer=Some+Band");
  for (const int sock : socks) EXPECT_TRUE(SendAll(sock, request));
  int answered = 0;
  for (const int sock : socks) {
    const auto reply = ParseReply(ReadAll(sock));
    if (reply.status == 200 && reply.body.find("\"found\":true") != std::string::npos) ++answered;
    close(sock);
  }
  EXPECT_EQ(answered, kClients);
}

// Something already listening on a port; its port.
enum class Holder { kOurServer, kOtherProgram, kOtherProgramSharing };

struct PortCase {
  const char* name;
  Holder holder;
};

void PrintTo(const PortCase& c, std::ostream* os) {
  *os << c.name;
}

class PortHeldTest : public HttpTest, public testing::WithParamInterface<PortCase> {};

TEST_P(PortHeldTest, SaysSoAndExits) {
  int port = 0;
  int holder = -1;
  if (GetParam().holder == Holder::kOurServer) {
    port = Start();
    ASSERT_NE(port, 0) << Errors();
  } else {
    holder = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(holder, 0);
    // Even a listener that offers to share the port keeps ours out: we never ask to share.
    const int yes = 1;
    if (GetParam().holder == Holder::kOtherProgramSharing) {
      ASSERT_EQ(setsockopt(holder, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes), 0);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 8), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size), 0);
    port = ntohs(address.sin_port);
  }
  const auto errors = folder_ / "second-stderr.txt";
  ServerProcess second({"--library", library_.string(), "--db", (folder_ / "second.db").string(),
                        "--listen", "127.0.0.1:" + std::to_string(port)},
                       errors);
  EXPECT_EQ(second.ReadLine(), "") << "nothing on stdout, no scan";
  EXPECT_EQ(second.WaitBounded(), 1);
  EXPECT_EQ(ReadText(errors), "talvo-lyrics-server: cannot listen on 127.0.0.1:" +
                                  std::to_string(port) + ": address already in use\n");
  if (holder >= 0) close(holder);
  if (GetParam().holder == Holder::kOurServer) ExpectServing(port);
}

INSTANTIATE_TEST_SUITE_P(Http, PortHeldTest,
                         testing::Values(PortCase{"by_our_server", Holder::kOurServer},
                                         PortCase{"by_another_program", Holder::kOtherProgram},
                                         PortCase{"by_another_program_sharing",
                                                  Holder::kOtherProgramSharing}),
                         [](const auto& test) { return std::string(test.param.name); });

struct StopCase {
  const char* name;
  int signal;
  int songs;  // enough for the scan to be under way when the signal comes
};

void PrintTo(const StopCase& c, std::ostream* os) {
  *os << c.name;
}

class StopTest : public HttpTest, public testing::WithParamInterface<StopCase> {};

// Stopped at any moment, the server exits 0, and the index it leaves is whole: a later scan
// finds every file, read before or read now, none lost.
TEST_P(StopTest, ExitsCleanlyWithTheIndexIntact) {
  const auto& param = GetParam();
  for (int i = 0; i < param.songs; ++i) {
    const auto name = "Band " + std::to_string(i % 100) + " - Song " + std::to_string(i) + ".txt";
    WriteFile(library_ / std::to_string(i % 50) / name, "words of song " + std::to_string(i));
  }
  const int total = param.songs + 1;
  const int port = Start({}, false);
  ASSERT_NE(port, 0) << Errors();
  if (param.songs > 0) {
    // The pages answer from the index as it is while the scan runs.
    EXPECT_EQ(Get(port, "/").status, 200);
  }
  server_->Signal(param.signal);
  std::string rest;
  for (std::string line; !(line = server_->ReadLine()).empty();) rest += line + "\n";
  EXPECT_EQ(server_->WaitBounded(), 0) << Errors();
  if (param.songs > 0) {
    EXPECT_EQ(rest, "") << "the scan was stopped, not finished";
  }

  ServerProcess rescan(
      {"--rescan", "--library", library_.string(), "--db", (folder_ / "index.db").string()},
      folder_ / "rescan-stderr.txt");
  const auto report = rescan.ReadLine();
  std::smatch counts;
  ASSERT_TRUE(std::regex_match(report, counts,
                               std::regex(R"(indexed: (\d+) songs? \((\d+) read, (\d+) unchanged, )"
                                          R"((\d+) removed, (\d+) skipped\))")))
      << report;
  const int songs = std::stoi(counts[1]);
  const int read = std::stoi(counts[2]);
  const int unchanged = std::stoi(counts[3]);
  const int removed = std::stoi(counts[4]);
  const int skipped = std::stoi(counts[5]);
  EXPECT_EQ(songs, total);
  EXPECT_EQ(read + unchanged, total);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(skipped, 0);
  EXPECT_EQ(rescan.WaitBounded(), 0);
}

INSTANTIATE_TEST_SUITE_P(Http, StopTest,
                         testing::Values(StopCase{"sigterm_at_start", SIGTERM, 0},
                                         StopCase{"sigint_at_start", SIGINT, 0},
                                         StopCase{"sigterm_during_scan", SIGTERM, 4'000}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
