#include "http/query.h"

#include <optional>

namespace talvo {
namespace {

std::optional<unsigned> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return std::nullopt;
}

}  // namespace

bool DecodeQueryValue(std::string_view encoded, std::string& out) {
  out.clear();
  out.reserve(encoded.size());
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (encoded.size() - i < 3) return false;
      const auto high = HexDigit(encoded[i + 1]);
      const auto low = HexDigit(encoded[i + 2]);
      if (!high || !low) return false;
      out.push_back(static_cast<char>((*high << 4U) | *low));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return true;
}

bool ParseQuery(std::string_view query, QueryFields& out) {
  out.clear();
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view field = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    if (field.empty()) continue;
    const std::size_t eq = field.find('=');
    std::string key;
    std::string value;
    if (!DecodeQueryValue(field.substr(0, eq), key)) return false;
    if (eq != std::string_view::npos && !DecodeQueryValue(field.substr(eq + 1), value))
      return false;
    out.emplace_back(std::move(key), std::move(value));
  }
  return true;
}

std::string_view FieldValue(const QueryFields& fields, std::string_view key) {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return {};
}

}  // namespace talvo
