#include "address/address.h"

#include <array>
#include <cstring>

namespace {

// What each byte becomes, padded to three bytes, and how many of those count. Every byte then
// costs one four-byte store and one add, with no branch on its class to mispredict.
struct Encoding {
  std::array<char, 3> text;
  unsigned char length;
};
static_assert(sizeof(Encoding) == 4, "stored with one four-byte write");

constexpr std::array<Encoding, 256> kEncodings = [] {
  constexpr char hexDigits[] = "0123456789abcdef";
  std::array<Encoding, 256> encodings{};
  for (std::size_t byte = 0; byte < encodings.size(); ++byte) {
    encodings[byte] = {{'%', hexDigits[byte >> 4], hexDigits[byte & 0x0F]}, 3};
  }
  for (const char c : "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz@.") {
    if (c != '\0') encodings[static_cast<unsigned char>(c)] = {{c, 0, 0}, 1};
  }
  encodings[' '] = {{'+', 0, 0}, 1};
  return encodings;
}();

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
    const Encoding encoding = kEncodings[*byte];
    // All four bytes go out, `length` of them count: out has three per byte and one for the NUL.
    std::memcpy(next, &encoding, sizeof encoding);
    next += encoding.length;
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
