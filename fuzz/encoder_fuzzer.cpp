// EncodeQueryText and ShowPageAddress on arbitrary bytes. The input holds the title up to its
// first NUL and the singer after it, up to the next NUL or the end.
//
// Every buffer is exactly as large as the header says it must be, on the heap, so that
// AddressSanitizer (or valgrind, replaying) reports a write past it or a read past a text's NUL.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "address/address.h"
#include "checks.h"

namespace {

std::unique_ptr<char[]> CopyText(std::string_view text) {
  auto copy = std::make_unique<char[]>(text.size() + 1);
  std::memcpy(copy.get(), text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Encodes text into a buffer of 3 bytes per byte and the NUL, and checks what comes out.
std::unique_ptr<char[]> Encode(std::string_view text) {
  const std::size_t size = 3 * text.size() + 1;
  Require(EncodedSize(text.size()) == size, "EncodedSize is 3 bytes per byte and the NUL");
  const auto input = CopyText(text);
  auto out = std::make_unique<char[]>(size);
  Require(EncodeQueryText(input.get(), out.get()) == out.get(), "EncodeQueryText answers out");
  Require(std::string_view(input.get()) == text, "the text is not changed");

  const std::string_view encoded(out.get());
  const auto decoded = DecodeQueryText(encoded);
  Require(decoded.has_value(), "only letters, digits, '@', '.', '+' and \"%xx\" in lowercase");
  Require(*decoded == text, "the encoded text decodes back to the input, byte for byte");
  return out;
}

void CheckAddress(const char* encTitle, const char* encSinger, std::string_view title,
                  std::string_view singer) {
  const std::size_t singerLength = encSinger == nullptr ? 0 : std::strlen(encSinger);
  const std::size_t size = kShowPageFrame + std::strlen(encTitle) + singerLength;
  const auto dest = std::make_unique<char[]>(size);
  ShowPageAddress(dest.get(), encTitle, encSinger);
  const std::string_view address(dest.get());
  Require(address.size() == size - 1, "the address fills its documented size to the NUL");
  const auto query = ReadShowPageAddress(address);
  Require(query.has_value(), "the address is well formed");
  Require(query->title == title && query->singer == singer, "the address carries both values");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view title = input.substr(0, input.find('\0'));
  std::string_view singer = input.substr(std::min(size, title.size() + 1));
  singer = singer.substr(0, singer.find('\0'));

  const auto encTitle = Encode(title);
  const auto encSinger = Encode(singer);
  CheckAddress(encTitle.get(), encSinger.get(), title, singer);
  CheckAddress(encTitle.get(), nullptr, title, "");

  std::array<char, 4> untouched = {'x', 'x', 'x', 'x'};
  Require(EncodeQueryText(nullptr, untouched.data()) == nullptr, "a null text answers null");
  Require(untouched == std::array<char, 4>{'x', 'x', 'x', 'x'}, "a null text writes nothing");
  return 0;
}
