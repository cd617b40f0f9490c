// An LRCLIB-compatible server asked for one song: its /api/get over HTTP or HTTPS (the peer's
// certificate and host name checked, SNI sent), the whole exchange (resolving, connecting, the
// TLS handshake, writing, reading) within one timeout, the answer at most
// limits::kUpstreamBodyLimit, its record checked field by field (upstream_record.h). A Client never
// throws and may be used by many threads at once; each Get blocks its caller, never longer than the
// timeout plus the scheduling of a thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "core/limits.h"
#include "sources/upstream_address.h"
#include "sources/upstream_record.h"
#include "text/lyrics.h"

namespace talvo::upstream {

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
  TooLarge,   // a body over limits::kUpstreamBodyLimit
  System,     // no thread or no memory to be had for the exchange
};
constexpr std::size_t kFailureKinds = static_cast<std::size_t>(Failure::System) + 1;
const char* FailureName(Failure failure);

// What the upstream gave for one query.
struct Reply {
  bool found = false;               // song holds the record
  Failure failure = Failure::None;  // None and not found: the upstream's 404
  Song song;
};

class Client {
 public:
  // Over HTTP or HTTPS as the address says. caFile: PEM certificates trusted instead of the
  // system's; empty for the system's. Nothing, with error set to one line, when the file cannot
  // be read.
  static std::unique_ptr<Client> Create(Address address, std::chrono::milliseconds timeout,
                                        const std::string& caFile, std::string& error);
  virtual ~Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  virtual Reply Get(const Query& query) const = 0;
  virtual std::chrono::milliseconds timeout() const = 0;

 protected:
  Client() = default;
};

}  // namespace talvo::upstream
