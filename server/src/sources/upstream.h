// An LRCLIB-compatible server asked for one song: its /api/get over HTTP or HTTPS (the peer's
// certificate and host name checked, SNI sent), the whole exchange (resolving, connecting, the
// TLS handshake, writing, reading) within one timeout, the answer at most kMaxBodyBytes, its
// record checked field by field. A Client never throws and may be used by many threads at once;
// each Get blocks its caller, never longer than the timeout plus the scheduling of a thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "text/lyrics.h"

namespace talvo::upstream {

// A record is a few KiB and the longest lyrics are far below this; more is not a record.
constexpr std::size_t kMaxBodyBytes = std::size_t{1} << 20;
// A page waits this long at most for an upstream before it shows the local miss.
constexpr std::chrono::milliseconds kDefaultTimeout{2000};
// Name lookups of the system cannot be cancelled: each outlives a timed-out Get in a thread of
// its own, and past this many at once a Get fails instead of starting another.
constexpr int kMaxResolving = 4;

// Where /api/get is: "http://host[:port][/base]" or "https://...", with "/api/get" added to the
// base ("", "/", "/api" and "/api/" all give "/api/get").
struct Address {
  bool tls = false;
  std::string host;  // a name, or an address (a v6 one without its brackets)
  std::string port;
  std::string path;  // of /api/get
};

// Nothing, with error set to one line, for another scheme, a user, a query or fragment, an empty
// host or a port outside 1..65535.
std::optional<Address> ParseAddress(std::string_view url, std::string& error);

// What is asked: the names as UTF-8, the album and duration only when the client gave them.
struct Query {
  std::string track;
  std::string artist;
  std::string album;
  std::optional<std::int64_t> durationMs;
};

// The query string of /api/get for the query, every byte outside RFC 3986's unreserved set
// percent-encoded; the duration in whole seconds.
std::string QueryString(const Query& query);

// Why a Get found nothing it could use; each kind is logged on its own.
enum class Failure {
  None,
  Resolve,    // the host name did not resolve, or too many lookups hang already
  Connect,    // refused, unreachable
  Tls,        // the handshake failed: a certificate not trusted or not for this host
  Timeout,    // the exchange did not end within the timeout
  Status,     // an answer other than 200 and 404
  NotJson,    // a 200 whose type is not JSON (an HTML page, a portal)
  Junk,       // a body that does not parse as JSON, or a broken HTTP answer
  WrongType,  // JSON that is not a record: a field missing or of another type
  TooLarge,   // a body over kMaxBodyBytes
};
const char* FailureName(Failure failure);

struct Answer {
  bool found = false;               // song holds the record
  Failure failure = Failure::None;  // None and not found: the upstream's 404
  Song song;
};

// The record in an /api/get answer as a Song: trackName and artistName strings, albumName a
// string or null, duration a number of seconds or null, instrumental a boolean, plainLyrics and
// syncedLyrics strings or null (a missing nullable field counts as null). The synced text is
// kept in ParseLrc's form; plain lyrics missing are taken from it. Nothing for anything else.
std::optional<Song> ParseRecord(std::string_view body);

class Client {
 public:
  // caFile: PEM certificates trusted instead of the system's; empty for the system's. Nothing,
  // with error set to one line, when the file cannot be read.
  static std::unique_ptr<Client> Create(Address address, std::chrono::milliseconds timeout,
                                        const std::string& caFile, std::string& error);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Answer Get(const Query& query) const;
  std::chrono::milliseconds timeout() const { return timeout_; }

 private:
  struct Tls;
  Client(Address address, std::chrono::milliseconds timeout, std::unique_ptr<Tls> tls);

  Address address_;
  std::chrono::milliseconds timeout_;
  std::unique_ptr<Tls> tls_;
};

}  // namespace talvo::upstream
