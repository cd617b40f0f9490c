#include "sources/upstream_address.h"

#include <algorithm>
#include <charconv>

namespace talvo::upstream {
namespace {

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

}  // namespace

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

}  // namespace talvo::upstream
