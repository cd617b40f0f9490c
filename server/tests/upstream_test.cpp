// The upstream client: its address, what it sends, what it makes of every kind of answer a
// loopback fake gives (hostile ones included), and HTTPS with a certificate made at test time.
#include "sources/upstream.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fake_upstream.h"
#include "run_program.h"
#include "sources/upstream_resolve.h"

namespace talvo::upstream {
namespace {

namespace fs = std::filesystem;
using fake::Upstream;

// For an upstream that holds the connection: the test lasts about this long.
constexpr auto kTimeout = std::chrono::milliseconds(300);
// For one that answers at once, room for valgrind; the time is never judged here.
constexpr auto kPatient = std::chrono::seconds(10);
// Only a hang takes this long; how long an answer takes is for docs/reliability.md.
constexpr auto kHangLimit = std::chrono::seconds(30);

constexpr std::string_view kRecord =
    R"({"id":7,"trackName":"Song","artistName":"Band","albumName":null,"duration":181.5,)"
    R"("instrumental":false,"plainLyrics":"one\ntwo","syncedLyrics":"[00:01.00]one\n[00:02.50]two"})";

// ---- The address ----

struct AddressCase {
  std::string_view url;
  bool valid;
  bool tls = false;
  std::string_view host = {};
  std::string_view port = {};
  std::string_view path = {};
};

void PrintTo(const AddressCase& c, std::ostream* os) {
  *os << c.url;
}

class AddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(AddressTest, Parses) {
  const auto& c = GetParam();
  std::string error;
  const auto address = ParseAddress(c.url, error);
  ASSERT_EQ(address.has_value(), c.valid) << error;
  if (!c.valid) {
    EXPECT_NE(error.find(c.url), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
    return;
  }
  EXPECT_EQ(address->tls, c.tls);
  EXPECT_EQ(address->host, c.host);
  EXPECT_EQ(address->port, c.port);
  EXPECT_EQ(address->path, c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, AddressTest,
    testing::Values(
        AddressCase{"https://lrclib.example", true, true, "lrclib.example", "443", "/api/get"},
        AddressCase{"HTTP://lrclib.example/", true, false, "lrclib.example", "80", "/api/get"},
        AddressCase{"http://127.0.0.1:8080/api", true, false, "127.0.0.1", "8080", "/api/get"},
        AddressCase{"http://127.0.0.1:8080/api/", true, false, "127.0.0.1", "8080", "/api/get"},
        AddressCase{"https://[::1]:8443/lyrics", true, true, "::1", "8443", "/lyrics/api/get"},
        AddressCase{"http://h:65535", true, false, "h", "65535", "/api/get"},
        AddressCase{"ftp://lrclib.example", false}, AddressCase{"lrclib.example", false},
        AddressCase{"http://", false}, AddressCase{"http://:80", false},
        AddressCase{"http://h:0", false}, AddressCase{"http://h:65536", false},
        AddressCase{"http://h:", false}, AddressCase{"http://h:8x", false},
        AddressCase{"http://user@h", false}, AddressCase{"http://h/api?x=1", false},
        AddressCase{"http://h/a b", false}, AddressCase{"http://::1/", false},
        AddressCase{"http://[::1/", false}));

// ---- What is sent ----

TEST(QueryStringTest, EncodesEveryByteOutsideTheUnreservedSet) {
  EXPECT_EQ(QueryString({.track = "A&B=C d/é", .artist = "x+y~z", .album = {}, .durationMs = {}}),
            "track_name=A%26B%3DC%20d%2F%C3%A9&artist_name=x%2By~z");
  EXPECT_EQ(QueryString({.track = "t", .artist = "a", .album = "Al %", .durationMs = 181'500}),
            "track_name=t&artist_name=a&album_name=Al%20%25&duration=182");
}

// ---- The record ----

struct RecordCase {
  std::string_view name;
  std::string body;
  bool valid;
};

void PrintTo(const RecordCase& c, std::ostream* os) {
  *os << c.name;
}

class RecordTest : public testing::TestWithParam<RecordCase> {};

TEST_P(RecordTest, ChecksEveryFieldsType) {
  EXPECT_EQ(ReadRecord(GetParam().body).song.has_value(), GetParam().valid) << GetParam().body;
}

std::string With(std::string_view field, std::string_view value) {
  std::string record(kRecord);
  const auto at = record.find("\"" + std::string(field) + "\":");
  if (at == std::string::npos) return record;
  const auto start = at + field.size() + 3;
  // The value runs to the next top-level comma or the closing brace; strings hold neither here.
  const auto end =
      record[start] == '"' ? record.find('"', start + 1) + 1 : record.find_first_of(",}", start);
  return record.replace(start, end - start, value);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RecordTest,
    testing::Values(RecordCase{"whole", std::string(kRecord), true},
                    RecordCase{"album_string", With("albumName", "\"Al\""), true},
                    RecordCase{"duration_null", With("duration", "null"), true},
                    RecordCase{"plain_null", With("plainLyrics", "null"), true},
                    RecordCase{"synced_null", With("syncedLyrics", "null"), true},
                    RecordCase{"track_number", With("trackName", "5"), false},
                    RecordCase{"track_null", With("trackName", "null"), false},
                    RecordCase{"track_empty", With("trackName", "\"\""), false},
                    RecordCase{"artist_array", With("artistName", "[\"Band\"]"), false},
                    RecordCase{"album_number", With("albumName", "1"), false},
                    RecordCase{"duration_string", With("duration", "\"181\""), false},
                    RecordCase{"duration_negative", With("duration", "-1"), false},
                    RecordCase{"duration_over_a_day", With("duration", "86401"), false},
                    RecordCase{"instrumental_string", With("instrumental", "\"false\""), false},
                    RecordCase{"instrumental_null", With("instrumental", "null"), false},
                    RecordCase{"plain_object", With("plainLyrics", "{}"), false},
                    RecordCase{"synced_bool", With("syncedLyrics", "true"), false},
                    RecordCase{"array", "[" + std::string(kRecord) + "]", false},
                    RecordCase{"string", "\"Song\"", false},
                    RecordCase{"junk", "{\"trackName\":", false}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(RecordTest, KeepsTheTimingAndTakesPlainLyricsFromItWhenMissing) {
  const auto song = ReadRecord(kRecord).song;
  ASSERT_TRUE(song);
  EXPECT_EQ(song->title, "Song");
  EXPECT_EQ(song->artist, "Band");
  EXPECT_EQ(song->album, "");
  EXPECT_EQ(song->durationMs, 181'500);
  EXPECT_EQ(song->lyrics, "one\ntwo");
  EXPECT_EQ(song->synced, "[00:01.00] one\n[00:02.50] two");
  const auto syncedOnly = ReadRecord(With("plainLyrics", "null")).song;
  ASSERT_TRUE(syncedOnly);
  EXPECT_EQ(syncedOnly->lyrics, "one\ntwo");
}

// ---- Answers ----

std::unique_ptr<Client> ClientFor(const std::string& url, const std::string& ca,
                                  std::chrono::milliseconds timeout) {
  std::string error;
  auto address = ParseAddress(url, error);
  if (!address) return nullptr;
  return Client::Create(std::move(*address), timeout, ca, error);
}

Reply Ask(const std::string& url, const std::string& ca = {},
          std::chrono::milliseconds timeout = kPatient) {
  const auto client = ClientFor(url, ca, timeout);
  if (!client) return {.found = false, .failure = Failure::None, .song = {}};
  return client->Get({.track = "Song", .artist = "Band", .album = {}, .durationMs = {}});
}

// A body of exactly size bytes that is the record, padded with JSON's own white space.
std::string RecordOfSize(std::size_t size) {
  std::string body(kRecord);
  body.insert(body.size() - 1, size - body.size(), ' ');
  return body;
}

// A header promising a body, then a byte of it now and then.
void Trickle(int fd, const std::string&, const std::atomic<bool>& stopping) {
  fake::SendAll(
      fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 400\r\n\r\n{");
  const auto end = std::chrono::steady_clock::now() + fake::kHangGuard;
  while (!stopping && std::chrono::steady_clock::now() < end) {
    fake::SendAll(fd, " ");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

struct AnswerCase {
  std::string_view name;
  Upstream::Handler handler;
  bool found;
  Failure failure;
  bool holds = false;  // the upstream keeps the connection: only the timeout ends it
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
  *os << c.name;
}

class AnswerTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, GivesTheRecordOrTheKindOfFailure) {
  const auto& c = GetParam();
  Upstream upstream(c.handler);
  const auto start = std::chrono::steady_clock::now();
  const auto answer = Ask(upstream.url(), {}, c.holds ? kTimeout : kPatient);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kHangLimit);
  EXPECT_EQ(answer.found, c.found);
  EXPECT_EQ(answer.failure, c.failure) << FailureName(answer.failure);
  if (c.found) {
    EXPECT_EQ(answer.song.title, "Song");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Upstreams, AnswerTest,
    testing::Values(
        AnswerCase{"record", Upstream::Answer(fake::Response(200, "application/json", kRecord)),
                   true, Failure::None},
        AnswerCase{"not_found",
                   Upstream::Answer(fake::Response(404, "application/json", "{\"code\":404}")),
                   false, Failure::None},
        AnswerCase{"hangs", Upstream::Hang, false, Failure::Timeout, true},
        AnswerCase{"trickles", Trickle, false, Failure::Timeout, true},
        AnswerCase{"closes_at_once", Upstream::Answer(""), false, Failure::Junk},
        AnswerCase{"html", Upstream::Answer(fake::Response(200, "text/html", "<html></html>")),
                   false, Failure::NotJson},
        AnswerCase{"junk", Upstream::Answer(fake::Response(200, "application/json", "{\"tr")),
                   false, Failure::Junk},
        AnswerCase{"not_http", Upstream::Answer("SSH-2.0-OpenSSH\r\n\r\n"), false, Failure::Junk},
        AnswerCase{"wrong_type",
                   Upstream::Answer(fake::Response(200, "application/json",
                                                   With("instrumental", "\"no\""))),
                   false, Failure::WrongType},
        AnswerCase{"server_error",
                   Upstream::Answer(fake::Response(503, "application/json", kRecord)), false,
                   Failure::Status},
        AnswerCase{"body_at_limit",
                   Upstream::Answer(fake::Response(200, "application/json",
                                                   RecordOfSize(limits::kUpstreamBodyLimit))),
                   true, Failure::None},
        AnswerCase{"body_over_limit",
                   Upstream::Answer(fake::Response(200, "application/json",
                                                   RecordOfSize(limits::kUpstreamBodyLimit + 1))),
                   false, Failure::TooLarge},
        AnswerCase{"no_lyrics",
                   Upstream::Answer(
                       fake::Response(200, "application/json",
                                      R"({"trackName":"Song","artistName":"Band","albumName":null,)"
                                      R"("duration":null,"instrumental":false,"plainLyrics":null,)"
                                      R"("syncedLyrics":null})")),
                   false, Failure::None}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(AnswerTest, RefusedConnectionIsAFailure) {
  const auto answer = Ask("http://127.0.0.1:" + std::to_string(fake::ClosedPort()));
  EXPECT_FALSE(answer.found);
  EXPECT_EQ(answer.failure, Failure::Connect);
}

// A name goes through the system's resolver (a thread of its own); every address it gives is
// tried, so a ::1 first still reaches the fake on 127.0.0.1.
TEST(AnswerTest, AHostNameIsResolved) {
  Upstream upstream(Upstream::Answer(fake::Response(200, "application/json", kRecord)));
  const auto answer = Ask("http://localhost:" + std::to_string(upstream.port()));
  EXPECT_TRUE(answer.found) << FailureName(answer.failure);
}

TEST(AnswerTest, SendsTheNamesAndItsNameToTheApiPath) {
  Upstream upstream(Upstream::Answer(fake::Response(404, "application/json", "{}")));
  Ask(upstream.url() + "/base/api/");
  const auto head = upstream.lastHead();
  EXPECT_TRUE(head.starts_with("GET /base/api/get?track_name=Song&artist_name=Band HTTP/1.1\r\n"))
      << head;
  EXPECT_NE(head.find("User-Agent: talvo-lyrics-server/"), std::string::npos) << head;
  EXPECT_NE(head.find("Host: 127.0.0.1:" + std::to_string(upstream.port())), std::string::npos);
}

// ---- Name lookups ----

// A system at its thread limit.
void RefuseThread(std::function<void()>&&) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

TEST(ResolveTest, NoThreadForALookupIsAFailureThatHoldsNoPlace) {
  std::string error;
  const auto address = ParseAddress("http://localhost:8080", error);
  ASSERT_TRUE(address) << error;
  const auto deadline = [] { return std::chrono::steady_clock::now() + kPatient; };
  // More than the lookups that may be pending at once: each failure gives its place back.
  for (int i = 0; i <= limits::kMaxResolving; ++i) {
    std::vector<boost::asio::ip::tcp::endpoint> endpoints;
    const Failure failure = Resolve(*address, deadline(), endpoints, RefuseThread);
    EXPECT_EQ(failure, Failure::System) << FailureName(failure);
  }
  std::vector<boost::asio::ip::tcp::endpoint> endpoints;
  const Failure failure = Resolve(*address, deadline(), endpoints);
  EXPECT_EQ(failure, Failure::None) << FailureName(failure);
  EXPECT_FALSE(endpoints.empty());
}

// ---- HTTPS ----

// A TLS server on loopback with a certificate of its own, answering each connection that
// completes a handshake with the record.
class TlsUpstream {
 public:
  TlsUpstream(const fs::path& cert, const fs::path& key) {
    context_.use_certificate_chain_file(cert.string());
    context_.use_private_key_file(key.string(), boost::asio::ssl::context::pem);
    acceptor_.open(boost::asio::ip::tcp::v4());
    acceptor_.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
    acceptor_.listen();
    acceptor_.non_blocking(true);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TlsUpstream() {
    stopping_ = true;
    thread_.join();
  }
  TlsUpstream(const TlsUpstream&) = delete;
  TlsUpstream& operator=(const TlsUpstream&) = delete;
  int port() const { return acceptor_.local_endpoint().port(); }

 private:
  void Serve() {
    const auto end = std::chrono::steady_clock::now() + fake::kHangGuard;
    while (!stopping_ && std::chrono::steady_clock::now() < end) {
      boost::system::error_code ec;
      boost::asio::ip::tcp::socket socket(io_);
      acceptor_.accept(socket, ec);
      if (ec) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream(std::move(socket), context_);
      stream.handshake(boost::asio::ssl::stream_base::server, ec);
      if (ec) continue;
      boost::asio::streambuf head;
      boost::asio::read_until(stream, head, "\r\n\r\n", ec);
      boost::asio::write(stream,
                         boost::asio::buffer(fake::Response(200, "application/json", kRecord)), ec);
      stream.shutdown(ec);
    }
  }

  boost::asio::io_context io_;
  boost::asio::ssl::context context_{boost::asio::ssl::context::tls_server};
  boost::asio::ip::tcp::acceptor acceptor_{io_};
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

class HttpsTest : public testing::Test {
 protected:
  // A self-signed certificate for the names in altNames, made with the openssl program.
  void MakeCertificate(const std::string& altNames) {
    folder_ = fs::temp_directory_path() / ("talvo-upstream-tls-" + std::to_string(getpid()));
    fs::create_directories(folder_);
    cert_ = folder_ / "cert.pem";
    key_ = folder_ / "key.pem";
    made_ = RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                        "/CN=talvo-test", "-addext", "subjectAltName=" + altNames, "-keyout",
                        key_.string(), "-out", cert_.string()});
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  fs::path folder_, cert_, key_;
  int made_ = -1;  // openssl's exit status; -1 when it could not be run
};

TEST_F(HttpsTest, TrustsOnlyTheGivenAuthorityAndItsHostName) {
  MakeCertificate("IP:127.0.0.1");
  if (made_ < 0) GTEST_SKIP() << "the openssl program (Debian's openssl package) is not installed";
  ASSERT_EQ(made_, 0) << "openssl could not make a certificate";
  TlsUpstream upstream(cert_, key_);
  const std::string url = "https://127.0.0.1:" + std::to_string(upstream.port());
  EXPECT_EQ(Ask(url).failure, Failure::Tls) << "a self-signed certificate without --upstream-ca";
  const auto trusted = Ask(url, cert_.string());
  EXPECT_TRUE(trusted.found) << FailureName(trusted.failure);
}

TEST_F(HttpsTest, RefusesACertificateForAnotherHost) {
  MakeCertificate("DNS:lyrics.example");
  if (made_ < 0) GTEST_SKIP() << "the openssl program (Debian's openssl package) is not installed";
  ASSERT_EQ(made_, 0) << "openssl could not make a certificate";
  TlsUpstream upstream(cert_, key_);
  EXPECT_EQ(Ask("https://127.0.0.1:" + std::to_string(upstream.port()), cert_.string()).failure,
            Failure::Tls);
}

TEST(ClientTest, RefusesACertificateFileThatIsNotOne) {
  std::string error;
  auto address = ParseAddress("https://127.0.0.1", error);
  ASSERT_TRUE(address);
  EXPECT_EQ(Client::Create(*address, kTimeout, "/nonexistent/ca.pem", error), nullptr);
  EXPECT_NE(error.find("/nonexistent/ca.pem"), std::string::npos) << error;
}

}  // namespace
}  // namespace talvo::upstream
