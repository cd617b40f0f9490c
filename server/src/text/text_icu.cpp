// The text module's ICU half: code pages through ICU's converters, keys through its NFKC with
// case folding and its character properties.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>

#include "text/text_platform.h"

namespace talvo::text {
namespace {

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
  static constexpr UChar kReplacementUnit = 0xFFFD;
  *status = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, &kReplacementUnit, 1, 0, status);
}

// Only a lone surrogate from a UTF-16 source gets here; the UTF-8 substitute is U+FFFD.
void SubstituteFromUnicode(const void* context, UConverterFromUnicodeArgs* args, const UChar* units,
                           int32_t length, UChar32 codePoint, UConverterCallbackReason reason,
                           UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  static_cast<const LossFlag*>(context)->raised = true;
  UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, codePoint, reason, status);
}

// The numbers under which Windows names its own code pages, which must win over the IBM tables
// that ICU files under "cpNNN" and "NNN".
std::optional<std::string> WindowsCodePageName(std::string_view name) {
  const std::string plain = PlainName(name);
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

bool IsSeparator(UChar32 c) {
  constexpr uint32_t kSeparators = U_GC_P_MASK | U_GC_S_MASK | U_GC_Z_MASK | U_GC_CC_MASK;
  return (U_GET_GC_MASK(c) & kSeparators) != 0 || u_isUWhiteSpace(c);
}

}  // namespace

std::optional<PageInfo> OpenPage(std::string_view name) {
  const std::string icuName = WindowsCodePageName(name).value_or(std::string(name));
  UErrorCode status = U_ZERO_ERROR;
  const icu::LocalUConverterPointer converter(ucnv_open(icuName.c_str(), &status));
  if (U_FAILURE(status) || converter.isNull()) return std::nullopt;
  const char* canonical = ucnv_getName(converter.getAlias(), &status);
  if (U_FAILURE(status) || canonical == nullptr) return std::nullopt;
  return PageInfo{canonical, 0, KeepsAscii(converter.getAlias())};
}

// A converter per call: ICU shares the table data between them, but a UConverter itself must
// not be used by two threads at once.
std::string PageToUtf8(const std::string& name, unsigned /*number*/, std::string_view bytes,
                       bool& lossy) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::LocalUConverterPointer source(ucnv_open(name.c_str(), &status));
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

std::u32string KeyCharacters(const std::u32string& text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* folding = icu::Normalizer2::getNFKCCasefoldInstance(status);
  if (U_FAILURE(status) || folding == nullptr) return {};
  static_assert(sizeof(UChar32) == sizeof(char32_t));
  const icu::UnicodeString source = icu::UnicodeString::fromUTF32(
      reinterpret_cast<const UChar32*>(text.data()), static_cast<int32_t>(text.size()));
  const icu::UnicodeString folded = folding->normalize(source, status);
  if (U_FAILURE(status)) return {};
  std::u32string out;
  out.reserve(static_cast<std::size_t>(folded.length()));
  for (int32_t i = 0; i < folded.length(); i = folded.moveIndex32(i, 1)) {
    const UChar32 c = folded.char32At(i);
    if (IsSeparator(c)) {
      out.push_back(U' ');
    } else if (!IsDefaultIgnorable(static_cast<char32_t>(c))) {
      out.push_back(static_cast<char32_t>(c));
    }
  }
  return out;
}

}  // namespace talvo::text
