#include "address/address.h"

#include <array>
#include <cstring>

namespace {

// What each byte becomes when it is kept as one character; 0 means it is escaped.
constexpr std::array<char, 256> kKept = [] {
  std::array<char, 256> kept{};
  for (const char c : "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@.") {
    kept[static_cast<unsigned char>(c)] = c;
  }
  kept[0] = '\0';  // the literal's own NUL
  kept[' '] = '+';
  return kept;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

char* Append(char* dest, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(dest, text, length);  // NOLINT(bugprone-not-null-terminated-result): callers end it
  return dest + length;
}

}  // namespace

char* EncodeQueryText(const char* text, char* out) {
  if (text == nullptr) return nullptr;
  char* next = out;
  for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0; ++byte) {
    if (const char kept = kKept[*byte]; kept != 0) {
      *next++ = kept;
    } else {
      next[0] = '%';
      next[1] = kHexDigits[*byte >> 4];
      next[2] = kHexDigits[*byte & 0x0F];
      next += 3;
    }
  }
  *next = '\0';
  return out;
}

void ShowPageAddress(char* dest, const char* encTitle, const char* encSinger) {
  char* next = Append(dest, "http://" TALVO_LYRICS_HOST "/kr/lyrics_plugin_show.html?title=");
  next = Append(next, encTitle);
  next = Append(next, "&singer=");
  if (encSinger != nullptr) next = Append(next, encSinger);
  *next = '\0';
}
