#include "sources/upstream.h"

#ifdef _WIN32
// Before OpenSSL's headers: they take back the names wincrypt.h defines as macros.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <wincrypt.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/json.hpp>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// Boost.JSON compiled into this file: the headers are all Debian's Boost ships without a library.
#include <boost/json/src.hpp>

#ifndef TALVO_VERSION
#error "TALVO_VERSION must name the server's version"
#endif

namespace talvo::upstream {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace json = boost::json;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kUserAgent = "talvo-lyrics-server/" TALVO_VERSION;
// No recording lasts a day; a longer duration is not one.
constexpr double kLongestSeconds = 24.0 * 3600;

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view start) {
  return text.size() >= start.size() &&
         std::equal(start.begin(), start.end(), text.begin(),
                    [](char a, char b) { return Lower(a) == Lower(b); });
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendField(std::string& query, std::string_view name, std::string_view value) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  if (!query.empty()) query += '&';
  query += name;
  query += '=';
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      query += c;
    } else {
      query += '%';
      query += kHex[byte >> 4];
      query += kHex[byte & 0xF];
    }
  }
}

// The text of a field that must be a string, or may be null (or missing) when nullable.
bool ReadText(const json::object& record, std::string_view name, bool nullable, std::string& out) {
  const auto* field = record.if_contains(name);
  if (field == nullptr || field->is_null()) return nullable;
  const auto* text = field->if_string();
  if (text == nullptr) return false;
  out.assign(text->data(), text->size());
  return true;
}

std::optional<Song> RecordFromJson(const json::value& value) {
  const auto* record = value.if_object();
  if (record == nullptr) return std::nullopt;
  Song song;
  std::string plain;
  std::string synced;
  if (!ReadText(*record, "trackName", false, song.title) ||
      !ReadText(*record, "artistName", false, song.artist) ||
      !ReadText(*record, "albumName", true, song.album) ||
      !ReadText(*record, "plainLyrics", true, plain) ||
      !ReadText(*record, "syncedLyrics", true, synced))
    return std::nullopt;
  const auto* instrumental = record->if_contains("instrumental");
  if (instrumental == nullptr || !instrumental->is_bool()) return std::nullopt;
  song.instrumental = instrumental->get_bool();
  if (const auto* duration = record->if_contains("duration");
      duration != nullptr && !duration->is_null()) {
    if (!duration->is_number()) return std::nullopt;
    const auto seconds = duration->to_number<double>();
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kLongestSeconds) return std::nullopt;
    song.durationMs = std::llround(seconds * 1000);
  }
  if (song.title.empty() || song.artist.empty()) return std::nullopt;
  if (!synced.empty()) {
    const Song parsed = ParseLrc(synced);
    song.synced = parsed.synced;
    if (plain.empty()) song.lyrics = parsed.lyrics;
  }
  if (!plain.empty()) song.lyrics = TidyLyrics(plain);
  return song;
}

// Lookups in flight in threads of their own (kMaxResolving).
std::atomic<int> resolving{0};

struct Resolution {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::vector<tcp::endpoint> endpoints;
};

// The host's addresses by the deadline. getaddrinfo cannot be cancelled, so it runs in a thread
// that may outlive this call and hands its answer to whoever still waits.
Failure Resolve(const Address& address, Clock::time_point deadline,
                std::vector<tcp::endpoint>& endpoints) {
  unsigned short port = 0;
  std::from_chars(address.port.data(), address.port.data() + address.port.size(), port);
  boost::system::error_code ec;
  const auto literal = asio::ip::make_address(address.host, ec);
  if (!ec) {
    endpoints.emplace_back(literal, port);
    return Failure::None;
  }
  if (resolving.fetch_add(1) >= kMaxResolving) {
    --resolving;
    return Failure::Resolve;
  }
  auto shared = std::make_shared<Resolution>();
  std::thread([shared, host = address.host, service = address.port] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::vector<tcp::endpoint> found;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0) {
      for (const addrinfo* at = list; at != nullptr; at = at->ai_next) {
        if (at->ai_family != AF_INET && at->ai_family != AF_INET6) continue;
        tcp::endpoint endpoint;
        std::memcpy(endpoint.data(), at->ai_addr, at->ai_addrlen);
        endpoint.resize(at->ai_addrlen);
        found.push_back(endpoint);
      }
      freeaddrinfo(list);
    }
    {
      const std::lock_guard lock(shared->mutex);
      shared->endpoints = std::move(found);
      shared->finished = true;
    }
    shared->done.notify_all();
    --resolving;
  }).detach();
  std::unique_lock lock(shared->mutex);
  if (!shared->done.wait_until(lock, deadline, [&] { return shared->finished; }))
    return Failure::Timeout;
  endpoints = std::move(shared->endpoints);
  return endpoints.empty() ? Failure::Resolve : Failure::None;
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

}  // namespace

struct Client::Tls {
  asio::ssl::context context{asio::ssl::context::tls_client};
};

std::optional<Address> ParseAddress(std::string_view url, std::string& error) {
  Address address;
  const std::string whole(url);
  const auto refuse = [&](const char* why) {
    error = "--upstream " + whole + ": " + why;
    return std::nullopt;
  };
  if (StartsWithNoCase(url, "https://")) {
    address.tls = true;
    url.remove_prefix(8);
  } else if (StartsWithNoCase(url, "http://")) {
    url.remove_prefix(7);
  } else {
    return refuse("must begin with http:// or https://");
  }
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return refuse("holds a space");
  }
  if (url.find_first_of("?#") != std::string_view::npos)
    return refuse("a query or fragment has no place in it");
  const auto slash = url.find('/');
  const std::string_view authority = url.substr(0, slash);
  std::string_view base = slash == std::string_view::npos ? "" : url.substr(slash);
  if (authority.find('@') != std::string_view::npos) return refuse("a user has no place in it");
  std::string_view host = authority;
  std::string_view port;
  if (host.starts_with('[')) {
    const auto close = host.find(']');
    if (close == std::string_view::npos) return refuse("an unclosed '['");
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return refuse("junk after the address");
    if (!rest.empty()) port = rest.substr(1);
    host = host.substr(1, close - 1);
    if (host.empty()) return refuse("no host");
  } else {
    const auto colon = host.rfind(':');
    if (colon != std::string_view::npos) {
      port = host.substr(colon + 1);
      host = host.substr(0, colon);
    }
    if (host.empty()) return refuse("no host");
    if (host.find(':') != std::string_view::npos) return refuse("a v6 address needs brackets");
  }
  if (port.data() != nullptr && port.empty()) return refuse("an empty port");
  if (!port.empty()) {
    unsigned number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (ec != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535)
      return refuse("the port must be a number from 1 to 65535");
  }
  address.host = host;
  address.port = port.empty() ? (address.tls ? "443" : "80") : std::string(port);
  while (base.ends_with('/')) base.remove_suffix(1);
  if (base.ends_with("/api")) base.remove_suffix(4);
  address.path = std::string(base) + "/api/get";
  return address;
}

std::string QueryString(const Query& query) {
  std::string text;
  AppendField(text, "track_name", query.track);
  AppendField(text, "artist_name", query.artist);
  if (!query.album.empty()) AppendField(text, "album_name", query.album);
  if (query.durationMs)
    AppendField(text, "duration", std::to_string((*query.durationMs + 500) / 1000));
  return text;
}

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
  }
  return "unknown";
}

std::optional<Song> ParseRecord(std::string_view body) {
  boost::system::error_code ec;
  const json::value value = json::parse(body, ec);
  if (ec) return std::nullopt;
  return RecordFromJson(value);
}

std::unique_ptr<Client> Client::Create(Address address, std::chrono::milliseconds timeout,
                                       const std::string& caFile, std::string& error) {
  auto tls = std::make_unique<Tls>();
  boost::system::error_code ec;
  tls->context.set_verify_mode(asio::ssl::verify_peer, ec);
  if (caFile.empty()) {
#ifdef _WIN32
    TrustWindowsRoots(tls->context.native_handle());
#else
    tls->context.set_default_verify_paths(ec);
#endif
  } else {
    tls->context.load_verify_file(caFile, ec);
  }
  if (ec) {
    error = "--upstream-ca " + caFile + ": no PEM certificate read: " + ec.message();
    return nullptr;
  }
  return std::unique_ptr<Client>(new Client(std::move(address), timeout, std::move(tls)));
}

Client::Client(Address address, std::chrono::milliseconds timeout, std::unique_ptr<Tls> tls)
    : address_(std::move(address)), timeout_(timeout), tls_(std::move(tls)) {}

Client::~Client() = default;

Answer Client::Get(const Query& query) const {
  const auto deadline = Clock::now() + timeout_;
  Answer answer;
  std::vector<tcp::endpoint> endpoints;
  answer.failure = Resolve(address_, deadline, endpoints);
  if (answer.failure != Failure::None) return answer;

  const bool v6 = address_.host.find(':') != std::string::npos;
  const bool defaultPort = address_.port == (address_.tls ? "443" : "80");
  Request request{beast::http::verb::get, address_.path + "?" + QueryString(query), 11};
  request.set(beast::http::field::host, (v6 ? "[" + address_.host + "]" : address_.host) +
                                            (defaultPort ? "" : ":" + address_.port));
  request.set(beast::http::field::user_agent, kUserAgent);
  request.set(beast::http::field::accept, "application/json");
  request.set(beast::http::field::connection, "close");

  Parser parser;
  parser.body_limit(kMaxBodyBytes);
  asio::io_context io;
  Failure failure = Failure::None;
  if (address_.tls) {
    beast::ssl_stream<beast::tcp_stream> stream(io, tls_->context);
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
  answer.failure = failure;
  if (failure != Failure::None) return answer;

  const auto& response = parser.get();
  if (response.result_int() == 404) return answer;
  if (response.result_int() != 200) {
    answer.failure = Failure::Status;
    return answer;
  }
  const std::string_view type = response[beast::http::field::content_type];
  std::string lowered(type);
  for (char& c : lowered) c = Lower(c);
  if (lowered.find("json") == std::string::npos) {
    answer.failure = Failure::NotJson;
    return answer;
  }
  boost::system::error_code ec;
  const json::value value = json::parse(response.body(), ec);
  if (ec) {
    answer.failure = Failure::Junk;
    return answer;
  }
  auto song = RecordFromJson(value);
  if (!song) {
    answer.failure = Failure::WrongType;
    return answer;
  }
  // A record with no words to show and no mark that there are none is not worth keeping.
  if (song->lyrics.empty() && !song->instrumental) return answer;
  answer.found = true;
  answer.song = std::move(*song);
  return answer;
}

}  // namespace talvo::upstream
