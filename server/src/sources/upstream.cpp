#include "sources/upstream.h"

#ifdef _WIN32
// Before OpenSSL's headers: they take back the names wincrypt.h defines as macros.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <wincrypt.h>
#endif
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "sources/upstream_resolve.h"

#ifndef TALVO_VERSION
#error "TALVO_VERSION must name the server's version"
#endif

namespace talvo::upstream {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kUserAgent = "talvo-lyrics-server/" TALVO_VERSION;

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

using Request = beast::http::request<beast::http::empty_body>;
using Parser = beast::http::response_parser<beast::http::string_body>;

// Connects, shakes hands when Stream is TLS, writes the request and reads the answer into parser;
// the tcp_stream's expiry, set once, bounds all of it. Lives on the caller's stack while the
// caller's io_context runs it to the end.
template <class Stream>
struct Exchange {
  Stream& stream;
  beast::tcp_stream& socket;
  const std::vector<tcp::endpoint>& endpoints;
  const Request& request;
  Parser& parser;
  beast::flat_buffer buffer = {};
  Failure failure = Failure::None;

  void Start() {
    socket.async_connect(endpoints, [this](beast::error_code ec, const tcp::endpoint&) {
      if (ec) {
        failure = Failure::Connect;
      } else if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
        Write();
      } else {
        stream.async_handshake(asio::ssl::stream_base::client, [this](beast::error_code shaken) {
          if (shaken)
            failure = Failure::Tls;
          else
            Write();
        });
      }
    });
  }
  void Write() {
    beast::http::async_write(stream, request, [this](beast::error_code ec, std::size_t) {
      if (ec)
        failure = Failure::Connect;
      else
        Read();
    });
  }
  void Read() {
    beast::http::async_read(stream, buffer, parser, [this](beast::error_code ec, std::size_t) {
      if (ec == beast::http::error::body_limit)
        failure = Failure::TooLarge;
      else if (ec)
        failure = Failure::Junk;
    });
  }
};

#ifdef _WIN32
// OpenSSL's default certificate paths mean nothing on Windows: the roots the user's system trusts
// are in its "ROOT" store, copied into the client's own.
void TrustWindowsRoots(SSL_CTX* context) {
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (store == nullptr) return;
  X509_STORE* trusted = SSL_CTX_get_cert_store(context);
  const CERT_CONTEXT* certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
    const unsigned char* der = certificate->pbCertEncoded;
    X509* x509 = d2i_X509(nullptr, &der, static_cast<long>(certificate->cbCertEncoded));
    if (x509 == nullptr) continue;
    X509_STORE_add_cert(trusted, x509);
    X509_free(x509);
  }
  CertCloseStore(store, 0);
  // A root OpenSSL cannot read is skipped, and its error must not show up on a later call.
  ERR_clear_error();
}
#endif

class HttpClient final : public Client {
 public:
  HttpClient(Address address, std::chrono::milliseconds timeout)
      : address_(std::move(address)), timeout_(timeout) {}

  Reply Get(const Query& query) const override;
  std::chrono::milliseconds timeout() const override { return timeout_; }
  asio::ssl::context& tls() { return tls_; }

 private:
  Reply Fetch(const Query& query) const;

  Address address_;
  std::chrono::milliseconds timeout_;
  // Shared by every Get: OpenSSL's contexts may serve many connections at once.
  mutable asio::ssl::context tls_{asio::ssl::context::tls_client};
};

}  // namespace

const char* FailureName(Failure failure) {
  switch (failure) {
    case Failure::None:
      return "none";
    case Failure::Resolve:
      return "the host name did not resolve";
    case Failure::Connect:
      return "cannot connect";
    case Failure::Tls:
      return "TLS handshake failed (certificate not trusted or not for this host)";
    case Failure::Timeout:
      return "no answer within the timeout";
    case Failure::Status:
      return "an error status";
    case Failure::NotJson:
      return "an answer that is not JSON";
    case Failure::Junk:
      return "an answer that does not parse";
    case Failure::WrongType:
      return "JSON that is not a record";
    case Failure::TooLarge:
      return "an answer over 1 MiB";
    case Failure::System:
      return "no thread or no memory to be had";
  }
  return "unknown";
}

std::unique_ptr<Client> Client::Create(Address address, std::chrono::milliseconds timeout,
                                       const std::string& caFile, std::string& error) {
  auto client = std::make_unique<HttpClient>(std::move(address), timeout);
  auto& tls = client->tls();
  boost::system::error_code ec;
  tls.set_verify_mode(asio::ssl::verify_peer, ec);
  if (caFile.empty()) {
#ifdef _WIN32
    TrustWindowsRoots(tls.native_handle());
#else
    tls.set_default_verify_paths(ec);
#endif
  } else {
    tls.load_verify_file(caFile, ec);
  }
  if (ec) {
    error = "--upstream-ca " + caFile + ": no PEM certificate read: " + ec.message();
    return nullptr;
  }
  return client;
}

Reply HttpClient::Get(const Query& query) const {
  // The promise to every caller: what the system refuses is a failure like the upstream's.
  try {
    return Fetch(query);
  } catch (...) {
    return {.found = false, .failure = Failure::System, .song = {}};
  }
}

Reply HttpClient::Fetch(const Query& query) const {
  const auto deadline = Clock::now() + timeout_;
  Reply reply;
  std::vector<tcp::endpoint> endpoints;
  reply.failure = Resolve(address_, deadline, endpoints);
  if (reply.failure != Failure::None) return reply;

  const bool v6 = address_.host.find(':') != std::string::npos;
  const bool defaultPort = address_.port == (address_.tls ? "443" : "80");
  Request request{beast::http::verb::get, address_.path + "?" + QueryString(query), 11};
  request.set(beast::http::field::host, (v6 ? "[" + address_.host + "]" : address_.host) +
                                            (defaultPort ? "" : ":" + address_.port));
  request.set(beast::http::field::user_agent, kUserAgent);
  request.set(beast::http::field::accept, "application/json");
  request.set(beast::http::field::connection, "close");

  Parser parser;
  parser.body_limit(limits::kUpstreamBodyLimit);
  asio::io_context io;
  Failure failure = Failure::None;
  if (address_.tls) {
    beast::ssl_stream<beast::tcp_stream> stream(io, tls_);
    boost::system::error_code ec;
    // A name goes in SNI and is checked against the certificate; an address is checked alone.
    if (asio::ip::make_address(address_.host, ec), ec)
      // SSL_set_tlsext_host_name is a macro with a C cast; this is what it expands to.
      SSL_ctrl(stream.native_handle(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char*>(address_.host.c_str()));
    stream.set_verify_callback(asio::ssl::host_name_verification(address_.host));
    beast::get_lowest_layer(stream).expires_at(deadline);
    Exchange<decltype(stream)> exchange{.stream = stream,
                                        .socket = beast::get_lowest_layer(stream),
                                        .endpoints = endpoints,
                                        .request = request,
                                        .parser = parser};
    exchange.Start();
    io.run();
    failure = exchange.failure;
  } else {
    beast::tcp_stream stream(io);
    stream.expires_at(deadline);
    Exchange<beast::tcp_stream> exchange{.stream = stream,
                                         .socket = stream,
                                         .endpoints = endpoints,
                                         .request = request,
                                         .parser = parser};
    exchange.Start();
    io.run();
    failure = exchange.failure;
  }
  // The stream's expiry closes the socket, which each step reports in its own way.
  if (failure != Failure::None && Clock::now() >= deadline) failure = Failure::Timeout;
  reply.failure = failure;
  if (failure != Failure::None) return reply;

  const auto& response = parser.get();
  if (response.result_int() == 404) return reply;
  if (response.result_int() != 200) {
    reply.failure = Failure::Status;
    return reply;
  }
  const std::string_view type = response[beast::http::field::content_type];
  std::string lowered(type);
  for (char& c : lowered) c = Lower(c);
  if (lowered.find("json") == std::string::npos) {
    reply.failure = Failure::NotJson;
    return reply;
  }
  auto [json, song] = ReadRecord(response.body());
  if (!song) {
    reply.failure = json ? Failure::WrongType : Failure::Junk;
    return reply;
  }
  // A record with no words to show and no mark that there are none is not worth keeping.
  if (song->lyrics.empty() && !song->instrumental) return reply;
  reply.found = true;
  reply.song = std::move(*song);
  return reply;
}

}  // namespace talvo::upstream
