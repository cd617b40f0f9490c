#include "text.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace talvo {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// ICU's callbacks receive a const context; the flag they raise lives behind it.
struct LossFlag {
  mutable bool raised = false;
};

// ICU's own substitution writes U+001A for a single bad byte in converters that define a
// one-byte substitute (Shift_JIS, IBM tables); callers are promised U+FFFD everywhere.
void SubstituteToUnicode(const void* context, UConverterToUnicodeArgs* args, const char* /*units*/,
                         int32_t /*length*/, UConverterCallbackReason reason, UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  static_cast<const LossFlag*>(context)->raised = true;
  static constexpr UChar kReplacement = 0xFFFD;
  *status = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, status);
}

// Only a lone surrogate from a UTF-16 source gets here; the UTF-8 substitute is U+FFFD.
void SubstituteFromUnicode(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                           int32_t length, UChar32 codePoint, UConverterCallbackReason reason,
                           UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  static_cast<const LossFlag*>(context)->raised = true;
  UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, codePoint, reason, status);
}

// Converts bytes in the converter named icuName to UTF-8. A converter per call: ICU shares the
// table data between them, but a UConverter itself must not be used by two threads at once.
std::string ConvertToUtf8(const char* icuName, std::string_view bytes, bool& lossy) {
  if (bytes.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  const icu::LocalUConverterPointer source(ucnv_open(icuName, &status));
  const icu::LocalUConverterPointer target(ucnv_open("UTF-8", &status));
  if (U_FAILURE(status) || source.isNull() || target.isNull()) {
    lossy = true;
    return std::string(kReplacementUtf8);
  }
  const LossFlag loss;
  ucnv_setToUCallBack(source.getAlias(), SubstituteToUnicode, &loss, nullptr, nullptr, &status);
  ucnv_setFromUCallBack(target.getAlias(), SubstituteFromUnicode, &loss, nullptr, nullptr, &status);
  if (U_FAILURE(status)) {
    lossy = true;
    return std::string(kReplacementUtf8);
  }

  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::array<UChar, 1024> pivot{};
  UChar* pivotSource = pivot.data();
  UChar* pivotTarget = pivot.data();
  std::array<char, 4096> buffer{};
  const char* next = bytes.data();
  const char* const end = bytes.data() + bytes.size();
  UBool reset = 1;  // only the first call starts afresh
  for (;;) {
    char* written = buffer.data();
    status = U_ZERO_ERROR;
    ucnv_convertEx(target.getAlias(), source.getAlias(), &written, buffer.data() + buffer.size(),
                   &next, end, pivot.data(), &pivotSource, &pivotTarget,
                   pivot.data() + pivot.size(), reset, /*flush=*/true, &status);
    reset = 0;
    out.append(buffer.data(), static_cast<std::size_t>(written - buffer.data()));
    if (status == U_BUFFER_OVERFLOW_ERROR) continue;
    if (U_FAILURE(status)) {
      loss.raised = true;
      out.append(kReplacementUtf8);
    }
    break;
  }
  lossy = lossy || loss.raised;
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

// The numbers under which Windows names its own code pages, which must win over the IBM tables
// that ICU files under "cpNNN" and "NNN". ICU compares names by letters and digits only, with
// leading zeros dropped ("CP-0949" is "cp949"), so the check does the same.
std::optional<std::string> WindowsCodePageName(std::string_view name) {
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
  std::string_view number = plain;
  if (number.starts_with("cp")) number.remove_prefix(2);
  static constexpr std::array<std::string_view, 14> kWindowsPages = {
      "874",  "932",  "936",  "949",  "950",  "1250", "1251",
      "1252", "1253", "1254", "1255", "1256", "1257", "1258"};
  if (std::find(kWindowsPages.begin(), kWindowsPages.end(), number) == kWindowsPages.end()) {
    return std::nullopt;
  }
  return "windows-" + std::string(number);
}

bool IsSeparator(UChar32 c) {
  constexpr uint32_t kSeparators = U_GC_P_MASK | U_GC_S_MASK | U_GC_Z_MASK | U_GC_CC_MASK;
  return (U_GET_GC_MASK(c) & kSeparators) != 0 || u_isUWhiteSpace(c);
}

// The key of a name in plain ASCII, the commonest kind, without ICU: NFKC with case folding
// changes no ASCII character but the capitals, and every ASCII character that is not a letter or
// a digit is punctuation, a symbol, a space or a control, so a separator. Nothing when the name
// holds any other byte.
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

// Whether the converter turns every ASCII byte into the same character whatever surrounds it,
// so that ASCII text needs no converting: true of the Windows and most other code pages, not of
// stateful encodings (ISO-2022, HZ, UTF-7) or EBCDIC.
bool KeepsAscii(UConverter* converter) {
  UErrorCode status = U_ZERO_ERROR;
  switch (ucnv_getType(converter)) {
    case UCNV_SBCS:
    case UCNV_DBCS:
    case UCNV_MBCS:
    case UCNV_LATIN_1:
    case UCNV_US_ASCII:
    case UCNV_UTF8:
      break;
    default:
      return false;
  }
  std::array<char, 0x80> ascii{};
  for (std::size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>(i);
  std::array<UChar, 0x100> decoded{};
  const int32_t length =
      ucnv_toUChars(converter, decoded.data(), static_cast<int32_t>(decoded.size()), ascii.data(),
                    static_cast<int32_t>(ascii.size()), &status);
  if (U_FAILURE(status) || length != static_cast<int32_t>(ascii.size())) return false;
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (decoded[i] != static_cast<UChar>(i)) return false;
  }
  return true;
}

}  // namespace

std::optional<CodePage> CodePage::Open(std::string_view name) {
  // ICU opens the default converter for an empty name; real names are short and plain ASCII.
  constexpr std::size_t kMaxName = 128;
  if (name.empty() || name.size() > kMaxName || name.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string icuName = WindowsCodePageName(name).value_or(std::string(name));
  UErrorCode status = U_ZERO_ERROR;
  const icu::LocalUConverterPointer converter(ucnv_open(icuName.c_str(), &status));
  if (U_FAILURE(status) || converter.isNull()) return std::nullopt;
  const char* canonical = ucnv_getName(converter.getAlias(), &status);
  if (U_FAILURE(status) || canonical == nullptr) return std::nullopt;
  return CodePage(canonical, KeepsAscii(converter.getAlias()));
}

std::string CodePage::ToUtf8(std::string_view bytes, bool* lossy) const {
  if (keepsAscii_ && std::all_of(bytes.begin(), bytes.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    if (lossy != nullptr) *lossy = false;
    return std::string(bytes);
  }
  bool replaced = false;
  std::string text = ConvertToUtf8(name_.c_str(), bytes, replaced);
  ReplaceC1Controls(text, replaced);
  if (lossy != nullptr) *lossy = replaced;
  return text;
}

std::string DecodeFileText(std::string_view bytes, const CodePage& fallback, bool* lossy) {
  bool replaced = false;
  std::string text;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    bytes.remove_prefix(3);
    text = IsValidUtf8(bytes) ? std::string(bytes) : ConvertToUtf8("UTF-8", bytes, replaced);
  } else if (bytes.starts_with("\xFF\xFE")) {
    text = ConvertToUtf8("UTF-16LE", bytes.substr(2), replaced);
  } else if (bytes.starts_with("\xFE\xFF")) {
    text = ConvertToUtf8("UTF-16BE", bytes.substr(2), replaced);
  } else if (IsValidUtf8(bytes)) {
    text = bytes;
  } else {
    text = fallback.ToUtf8(bytes, &replaced);
  }
  NormaliseLineEnds(text);
  if (lossy != nullptr) *lossy = replaced;
  return text;
}

std::string Utf8OrCodePage(std::string_view bytes, const CodePage& codePage) {
  return IsValidUtf8(bytes) ? std::string(bytes) : codePage.ToUtf8(bytes);
}

bool IsValidUtf8(std::string_view bytes) {
  const auto* const s = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int64_t>(bytes.size());
  int64_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string MatchKey(std::string_view utf8) {
  // Keys are for names; a name past this is junk, and ICU counts in int32_t.
  constexpr std::size_t kMaxInput = std::size_t{1} << 20U;
  utf8 = utf8.substr(0, kMaxInput);
  if (auto key = AsciiMatchKey(utf8)) return *std::move(key);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* folding = icu::Normalizer2::getNFKCCasefoldInstance(status);
  if (U_FAILURE(status) || folding == nullptr) return {};
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  const icu::UnicodeString folded = folding->normalize(source, status);
  if (U_FAILURE(status)) return {};

  icu::UnicodeString key;
  bool gap = false;
  for (int32_t i = 0; i < folded.length(); i = folded.moveIndex32(i, 1)) {
    const UChar32 c = folded.char32At(i);
    if (IsSeparator(c)) {
      gap = !key.isEmpty();
      continue;
    }
    if (gap) key.append(static_cast<UChar>(u' '));
    gap = false;
    key.append(c);
  }
  std::string out;
  key.toUTF8String(out);
  return out;
}

}  // namespace talvo
