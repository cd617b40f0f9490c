// The platform-free half of the text module: byte order marks, UTF-8 and UTF-16, line ends, C1
// controls and the runs of separators in a key. The tables and the Unicode algorithms come from
// the platform's half (text_platform.h).
#include "text/text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "text/text_platform.h"

namespace talvo {
namespace text {
namespace {

constexpr char32_t kBad = 0xFFFFFFFF;

// The next code point at i, or kBad after the longest prefix of a well-formed sequence (at
// least one byte), as Unicode recommends substituting.
char32_t NextUtf8(std::string_view bytes, std::size_t& i) {
  const auto byte = [&bytes](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
  const unsigned lead = byte(i++);
  if (lead < 0x80) return lead;
  std::size_t trails = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  char32_t c = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trails = 1;
    c = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trails = 2;
    c = lead & 0x0FU;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trails = 3;
    c = lead & 0x07U;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kBad;
  }
  for (std::size_t k = 0; k < trails; ++k) {
    if (i >= bytes.size() || byte(i) < low || byte(i) > high) return kBad;
    c = (c << 6U) | (byte(i++) & 0x3FU);
    low = 0x80;
    high = 0xBF;
  }
  return c;
}

bool IsAscii(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// UTF-16 without its mark as UTF-8; lone surrogates and an odd last byte become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian, bool& lossy) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  const auto unit = [&bytes, bigEndian](std::size_t at) -> char32_t {
    const char32_t first = static_cast<unsigned char>(bytes[at]);
    const char32_t second = static_cast<unsigned char>(bytes[at + 1]);
    return bigEndian ? (first << 8U) | second : (second << 8U) | first;
  };
  std::size_t i = 0;
  while (i + 1 < bytes.size()) {
    char32_t c = unit(i);
    i += 2;
    if (c >= 0xD800 && c <= 0xDFFF) {
      const bool high = c <= 0xDBFF;
      if (high && i + 1 < bytes.size() && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10U) + (unit(i) - 0xDC00);
        i += 2;
      } else {
        c = kReplacement;
        lossy = true;
      }
    }
    AppendUtf8(out, c);
  }
  if (i < bytes.size()) {
    out.append(kReplacementUtf8);
    lossy = true;
  }
  return out;
}

// Windows maps the holes of its single-byte tables (0x81 in 1252 and the like) to C1 controls,
// and ICU's tables follow it; no tag means one, so they count as unmapped.
void ReplaceC1Controls(std::string& text, bool& lossy) {
  const auto isC1 = [&text](std::size_t i) {
    return text[i] == '\xC2' && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
           static_cast<unsigned char>(text[i + 1]) <= 0x9F;
  };
  std::size_t i = text.find('\xC2');
  while (i != std::string::npos && !isC1(i)) i = text.find('\xC2', i + 1);
  if (i == std::string::npos) return;
  lossy = true;
  std::string out(text, 0, i);
  out.reserve(text.size() + text.size() / 2);
  while (i < text.size()) {
    if (isC1(i)) {
      out.append(kReplacementUtf8);
      i += 2;
    } else {
      out.push_back(text[i++]);
    }
  }
  text = std::move(out);
}

void NormaliseLineEnds(std::string& text) {
  if (text.find('\r') == std::string::npos) return;
  std::size_t out = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      text[out++] = '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      text[out++] = text[i];
    }
  }
  text.resize(out);
}

// The key of a name in plain ASCII, the commonest kind, without the platform: NFKC with case
// folding changes no ASCII character but the capitals, and every ASCII character that is not a
// letter or a digit is punctuation, a symbol, a space or a control, so a separator. Nothing when
// the name holds any other byte.
std::optional<std::string> AsciiMatchKey(std::string_view text) {
  std::string key;
  key.reserve(text.size());
  bool gap = false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    const bool upper = c >= 'A' && c <= 'Z';
    if (!upper && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9')) {
      gap = !key.empty();
      continue;
    }
    if (gap) key += ' ';
    gap = false;
    key += upper ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return key;
}

}  // namespace

std::string PlainName(std::string_view name) {
  std::string plain;
  for (const char c : name) {
    if (c >= '0' && c <= '9') {
      if (c != '0' || (!plain.empty() && plain.back() >= '0' && plain.back() <= '9')) {
        plain.push_back(c);
      }
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      plain.push_back(static_cast<char>(c | 0x20));
    }
  }
  return plain;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0U | (c >> 6U)));
    out.push_back(static_cast<char>(0x80U | (c & 0x3FU)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0U | (c >> 12U)));
    out.push_back(static_cast<char>(0x80U | ((c >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (c & 0x3FU)));
  } else {
    out.push_back(static_cast<char>(0xF0U | (c >> 18U)));
    out.push_back(static_cast<char>(0x80U | ((c >> 12U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | ((c >> 6U) & 0x3FU)));
    out.push_back(static_cast<char>(0x80U | (c & 0x3FU)));
  }
}

std::string RepairUtf8(std::string_view bytes, bool& lossy) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t start = i;
    const char32_t c = NextUtf8(bytes, i);
    if (c == kBad) {
      out.append(kReplacementUtf8);
      lossy = true;
    } else {
      out.append(bytes.substr(start, i - start));
    }
  }
  return out;
}

std::u32string DecodeUtf8(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const char32_t c = NextUtf8(bytes, i);
    out.push_back(c == kBad ? kReplacement : c);
  }
  return out;
}

bool IsDefaultIgnorable(char32_t c) {
  struct Range {
    char32_t first;
    char32_t last;
  };
  static constexpr Range kRanges[] = {
      {0x00AD, 0x00AD},   {0x034F, 0x034F},  {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
      {0x180B, 0x180F},   {0x200B, 0x200F},  {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
      {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},  {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3},
      {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}};
  if (c < kRanges[0].first) return false;
  return std::any_of(std::begin(kRanges), std::end(kRanges),
                     [c](const Range& r) { return c >= r.first && c <= r.last; });
}

}  // namespace text

std::optional<CodePage> CodePage::Open(std::string_view name) {
  // Real names are short and plain ASCII; an empty one would open some default.
  constexpr std::size_t kMaxName = 128;
  if (name.empty() || name.size() > kMaxName || name.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  auto page = text::OpenPage(name);
  if (!page) return std::nullopt;
  return CodePage(std::move(page->name), page->number, page->keepsAscii);
}

std::string CodePage::ToUtf8(std::string_view bytes, bool* lossy) const {
  if (keepsAscii_ && text::IsAscii(bytes)) {
    if (lossy != nullptr) *lossy = false;
    return std::string(bytes);
  }
  bool replaced = false;
  std::string out =
      bytes.empty() ? std::string() : text::PageToUtf8(name_, number_, bytes, replaced);
  text::ReplaceC1Controls(out, replaced);
  if (lossy != nullptr) *lossy = replaced;
  return out;
}

std::string DecodeFileText(std::string_view bytes, const CodePage& fallback, bool* lossy) {
  bool replaced = false;
  std::string out;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    out = text::RepairUtf8(bytes.substr(3), replaced);
  } else if (bytes.starts_with("\xFF\xFE")) {
    out = text::Utf16ToUtf8(bytes.substr(2), /*bigEndian=*/false, replaced);
  } else if (bytes.starts_with("\xFE\xFF")) {
    out = text::Utf16ToUtf8(bytes.substr(2), /*bigEndian=*/true, replaced);
  } else if (IsValidUtf8(bytes)) {
    out = bytes;
  } else {
    out = fallback.ToUtf8(bytes, &replaced);
  }
  text::NormaliseLineEnds(out);
  if (lossy != nullptr) *lossy = replaced;
  return out;
}

std::string Utf8OrCodePage(std::string_view bytes, const CodePage& codePage) {
  return IsValidUtf8(bytes) ? std::string(bytes) : codePage.ToUtf8(bytes);
}

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    if (text::NextUtf8(bytes, i) == text::kBad) return false;
  }
  return true;
}

std::string Utf8Repaired(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  bool ignored = false;
  return text::RepairUtf8(bytes, ignored);
}

std::string MatchKey(std::string_view utf8) {
  // Keys are for names; a name past this is junk, and the platforms count in 32 bits.
  constexpr std::size_t kMaxInput = std::size_t{1} << 20U;
  utf8 = utf8.substr(0, kMaxInput);
  if (auto key = text::AsciiMatchKey(utf8)) return *std::move(key);
  const std::u32string characters = text::KeyCharacters(text::DecodeUtf8(utf8));
  std::string key;
  key.reserve(characters.size());
  bool gap = false;
  for (const char32_t c : characters) {
    if (c == U' ') {
      gap = !key.empty();
      continue;
    }
    if (gap) key += ' ';
    gap = false;
    text::AppendUtf8(key, c);
  }
  return key;
}

}  // namespace talvo
