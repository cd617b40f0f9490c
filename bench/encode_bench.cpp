// The query-text encoder on a 30-byte tag field and on a 2,047-byte caption: EncodeQueryText
// against a plain table-driven floor (and a table with a branch per byte), against curl_easy_escape
// (a speed peer only: it keeps
// "-_~" and writes uppercase hex, so its output differs) and against snprintf per escaped byte.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include "address/address.h"
#include "allocations.h"

namespace {

// A title as a tag holds it: letters, spaces, punctuation and two Latin-1 letters; 30 bytes.
constexpr char kTagField[] =
    "Caf\xe9 Night - Songs & D\xfc"
    "ets #2!";
static_assert(sizeof kTagField - 1 == 30, "a full ID3v1 field");

constexpr std::size_t kCaptionLength = 2047;

// A caption of the longest length the player hands over: words of ASCII letters and digits and
// words of double-byte text (high bytes), between spaces and punctuation. Fixed, so runs compare.
std::string MixedCaption() {
  static constexpr char kPunctuation[] = "-,.'()!&/:[]_";
  std::string text;
  std::uint32_t state = 2463534242U;
  const auto next = [&state](std::uint32_t bound) {
    state ^= state << 13U;
    state ^= state >> 17U;
    state ^= state << 5U;
    return state % bound;
  };
  while (text.size() < kCaptionLength) {
    const std::uint32_t kind = next(10);
    const std::uint32_t length = 1 + next(8);
    for (std::uint32_t i = 0; i < length; ++i) {
      if (kind < 6) {
        text += static_cast<char>("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"[next(52)]);
      } else if (kind < 7) {
        text += static_cast<char>('0' + next(10));
      } else {
        text += static_cast<char>(0xB0 + next(0x48));  // lead and trail bytes of CP949 syllables
        text += static_cast<char>(0xA1 + next(0x5E));
      }
    }
    text += next(4) == 0 ? kPunctuation[next(sizeof kPunctuation - 1)] : ' ';
    if (next(6) == 0) text += ' ';
  }
  text.resize(kCaptionLength);
  return text;
}

enum class Input { kField, kCaption };

// Every encoder reads the same input and writes the same output buffer, at fixed alignments, so
// that no encoder gains or loses by where its buffers happen to fall.
struct Buffers {
  alignas(64) char field[sizeof kTagField];
  alignas(64) char caption[kCaptionLength + 1];
  alignas(64) char out[EncodedSize(kCaptionLength)];
};

Buffers& SharedBuffers() {
  static Buffers buffers = [] {
    Buffers made{};
    std::memcpy(made.field, kTagField, sizeof kTagField);
    const std::string caption = MixedCaption();
    std::memcpy(made.caption, caption.c_str(), caption.size() + 1);
    return made;
  }();
  return buffers;
}

constexpr bool IsKept(std::size_t byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= 'a' && byte <= 'z') || byte == '@' || byte == '.';
}

constexpr char kHex[] = "0123456789abcdef";

// The floor: one table entry per byte holds what the byte becomes, padded to three bytes, and
// how many of those count. Each byte costs one load, one four-byte store and one add, and no
// branch on the byte's class.
struct Encoding {
  std::array<char, 3> text;
  std::uint8_t length;
};
static_assert(sizeof(Encoding) == 4, "stored with one four-byte write");

constexpr std::array<Encoding, 256> kEncodings = [] {
  std::array<Encoding, 256> encodings{};
  for (std::size_t byte = 0; byte < encodings.size(); ++byte) {
    if (IsKept(byte) || byte == ' ') {
      encodings[byte] = {{byte == ' ' ? '+' : static_cast<char>(byte), 0, 0}, 1};
    } else {
      encodings[byte] = {{'%', kHex[byte >> 4U], kHex[byte & 0x0FU]}, 3};
    }
  }
  return encodings;
}();

// The same contract as EncodeQueryText, null text included. Each encoder here is called, not
// inlined into the timing loop, as EncodeQueryText is from its own file.
[[gnu::noinline]] char* FloorEncode(const char* text, char* out) {
  if (text == nullptr) return nullptr;
  char* next = out;
  for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0; ++byte) {
    const Encoding encoding = kEncodings[*byte];
    std::memcpy(next, &encoding, sizeof encoding);  // out has three bytes per byte, and the NUL
    next += encoding.length;
  }
  *next = '\0';
  return out;
}

// For reference, a table of the bytes that stay and a branch per byte: the branch mispredicts
// wherever kept and escaped bytes mix.
constexpr std::array<char, 256> kKept = [] {
  std::array<char, 256> kept{};
  for (std::size_t byte = 1; byte < kept.size(); ++byte) {
    if (IsKept(byte)) kept[byte] = static_cast<char>(byte);
  }
  kept[' '] = '+';
  return kept;
}();

[[gnu::noinline]] char* BranchEncode(const char* text, char* out) {
  if (text == nullptr) return nullptr;
  char* next = out;
  for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0; ++byte) {
    const char kept = kKept[*byte];
    if (kept != 0) {
      *next++ = kept;
    } else {
      next[0] = '%';
      next[1] = kHex[*byte >> 4U];
      next[2] = kHex[*byte & 0x0FU];
      next += 3;
    }
  }
  *next = '\0';
  return out;
}

[[gnu::noinline]] char* SnprintfEncode(const char* text, char* out) {
  char* next = out;
  for (const auto* byte = reinterpret_cast<const unsigned char*>(text); *byte != 0; ++byte) {
    if (kKept[*byte] != 0) {
      *next++ = kKept[*byte];
    } else {
      std::snprintf(next, 4, "%%%02x", *byte);
      next += 3;
    }
  }
  *next = '\0';
  return out;
}

[[gnu::noinline]] char* CurlEncode(const char* text, char* out) {
  char* escaped = curl_easy_escape(nullptr, text, 0);
  benchmark::DoNotOptimize(escaped);
  curl_free(escaped);
  return out;
}

template <char* (*Encode)(const char*, char*), Input kInput>
void EncodeBench(benchmark::State& state) {
  Buffers& buffers = SharedBuffers();
  const char* text = kInput == Input::kField ? buffers.field : buffers.caption;
  const std::string expected = EncodeQueryText(text, buffers.out);
  if (Encode != CurlEncode && std::strcmp(Encode(text, buffers.out), expected.c_str()) != 0) {
    state.SkipWithError("the encoders disagree");
    return;
  }
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(Encode(text, buffers.out));
    benchmark::ClobberMemory();
  }
  ReportAllocations(state, before);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(std::strlen(text)));
}

// Each encoder on both inputs, under the names scripts/bench reads back.
#define ENCODE_BENCHMARKS(encode, name)                                                         \
  BENCHMARK(EncodeBench<encode, Input::kField>)->Name("encode_field/" name)->Apply(WithSpread); \
  BENCHMARK(EncodeBench<encode, Input::kCaption>)->Name("encode_caption/" name)->Apply(WithSpread)

ENCODE_BENCHMARKS(EncodeQueryText, "ours");
ENCODE_BENCHMARKS(FloorEncode, "table_floor");
ENCODE_BENCHMARKS(BranchEncode, "branch_table");
ENCODE_BENCHMARKS(CurlEncode, "curl_easy_escape");
ENCODE_BENCHMARKS(SnprintfEncode, "snprintf");

}  // namespace
