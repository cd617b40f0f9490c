// Where an upstream's /api/get is, and what is asked of it there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace talvo::upstream {

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

}  // namespace talvo::upstream
