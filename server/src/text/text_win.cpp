// The text module's Windows half, on Windows' own national language support so that the program
// needs no library Windows lacks: code pages through MultiByteToWideChar, keys through
// NormalizeString, LCMapStringEx and GetStringTypeW. Where Windows' lower case is not Unicode's
// case folding, a few explicit folds make the keys agree with the ICU half.
#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <iterator>
#include <vector>

#include "text/text_platform.h"

namespace talvo::text {
namespace {

struct Alias {
  std::string_view plain;  // as PlainName gives it
  unsigned number;
};

// Names Windows has no number in; the rest are "cpNNN", "NNN", "windows-NNN" and "ibmNNN".
constexpr Alias kAliases[] = {
    {"shiftjis", 932},      {"sjis", 932},    {"mskanji", 932},     {"windows31j", 932},
    {"csshiftjis", 932},    {"xsjis", 932},   {"gbk", 936},         {"gb2312", 936},
    {"csgb2312", 936},      {"euccn", 936},   {"xgbk", 936},        {"gb231280", 936},
    {"gb18030", 54936},     {"big5", 950},    {"csbig5", 950},      {"xxbig5", 950},
    {"euckr", 949},         {"cseuckr", 949}, {"ksc56011987", 949}, {"ksc5601", 949},
    {"csksc56011987", 949}, {"korean", 949},  {"uhc", 949},         {"eucjp", 20932},
    {"iso2022jp", 50220},   {"koi8r", 20866}, {"cskoi8r", 20866},   {"koi8u", 21866},
    {"utf8", 65001},        {"utf7", 65000},  {"usascii", 20127},   {"ascii", 20127},
    {"latin1", 28591},      {"tis620", 874},  {"macintosh", 10000}, {"macroman", 10000},
};

// Windows' names for the pages that have one beyond their number.
constexpr Alias kNames[] = {{"shift_jis", 932},     {"gb2312", 936},    {"ks_c_5601-1987", 949},
                            {"big5", 950},          {"gb18030", 54936}, {"euc-jp", 20932},
                            {"iso-2022-jp", 50220}, {"koi8-r", 20866},  {"koi8-u", 21866},
                            {"utf-8", 65001},       {"utf-7", 65000},   {"us-ascii", 20127},
                            {"macintosh", 10000}};

// Pages whose bytes mean different characters in different states, and pages for which
// MultiByteToWideChar refuses MB_ERR_INVALID_CHARS.
bool IsStateful(unsigned number) {
  return (number >= 50220 && number <= 50229) || number == 52936 || number == 65000 ||
         (number >= 57002 && number <= 57011) || number == 42;
}

std::optional<unsigned> ParseNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  return number;
}

std::optional<unsigned> PageNumber(std::string_view name) {
  const std::string plain = PlainName(name);
  for (const Alias& alias : kAliases) {
    if (alias.plain == plain) return alias.number;
  }
  std::string_view rest = plain;
  if (rest.starts_with("iso8859")) {
    const auto part = ParseNumber(rest.substr(7));
    return part ? std::optional(28590 + *part) : std::nullopt;
  }
  for (const std::string_view prefix : {"windows", "cp", "ibm"}) {
    if (rest.starts_with(prefix)) {
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  return ParseNumber(rest);
}

std::string PageName(unsigned number) {
  for (const Alias& name : kNames) {
    if (name.number == number) return std::string(name.plain);
  }
  if (number == 874 || (number >= 1250 && number <= 1258)) {
    return "windows-" + std::to_string(number);
  }
  if (number > 28590 && number < 28610) return "iso-8859-" + std::to_string(number - 28590);
  return "cp" + std::to_string(number);
}

// UTF-16 from Windows as UTF-8; lone surrogates become U+FFFD. Private-use characters from a
// single-byte page are the holes Windows fills with them (1255's 0xD9 and the like): unmapped.
void AppendUtf16(std::string& out, const wchar_t* units, std::size_t count, bool singleByte,
                 bool& lossy) {
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = static_cast<char16_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10U) + (static_cast<char16_t>(units[++i]) - 0xDC00U);
    } else if ((c >= 0xD800 && c <= 0xDFFF) || (singleByte && c >= 0xE000 && c <= 0xF8FF)) {
      c = kReplacement;
      lossy = true;
    }
    AppendUtf8(out, c);
  }
}

// One MultiByteToWideChar call into units; false when Windows finds the bytes invalid.
bool Convert(unsigned number, std::string_view bytes, std::vector<wchar_t>& units) {
  const DWORD flags = IsStateful(number) ? 0 : MB_ERR_INVALID_CHARS;
  const int length = static_cast<int>(bytes.size());
  units.resize(bytes.size() * 2 + 8);
  const int written = MultiByteToWideChar(number, flags, bytes.data(), length, units.data(),
                                          static_cast<int>(units.size()));
  if (written <= 0) return false;
  units.resize(static_cast<std::size_t>(written));
  return true;
}

// Bad bytes somewhere in the piece: character by character, trying each length the page has;
// a byte that starts nothing becomes U+FFFD, as does a lead byte whose pair is unmapped.
void ConvertSlowly(unsigned number, unsigned maxCharSize, std::string_view bytes,
                   std::vector<wchar_t>& units, std::string& out, bool& lossy) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    bool done = false;
    for (std::size_t size = 1; size <= maxCharSize && i + size <= bytes.size(); ++size) {
      if (Convert(number, bytes.substr(i, size), units)) {
        AppendUtf16(out, units.data(), units.size(), maxCharSize == 1, lossy);
        i += size;
        done = true;
        break;
      }
    }
    if (done) continue;
    out.append(kReplacementUtf8);
    lossy = true;
    const bool pairOfHighBytes = maxCharSize == 2 && i + 1 < bytes.size() &&
                                 IsDBCSLeadByteEx(number, static_cast<BYTE>(bytes[i])) &&
                                 static_cast<unsigned char>(bytes[i + 1]) >= 0x80;
    i += pairOfHighBytes ? 2 : 1;
  }
}

std::wstring ToUtf16(const std::u32string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (const char32_t c : text) {
    if (c >= 0x10000) {
      out.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10U)));
      out.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FFU)));
    } else {
      out.push_back(static_cast<wchar_t>(c));
    }
  }
  return out;
}

std::wstring NormalizeRun(NORM_FORM form, std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  int estimate = NormalizeString(form, text.data(), length, nullptr, 0);
  for (int attempt = 0; attempt < 4 && estimate > 0; ++attempt) {
    std::wstring out(static_cast<std::size_t>(estimate), L'\0');
    const int written = NormalizeString(form, text.data(), length, out.data(), estimate);
    if (written > 0) {
      out.resize(static_cast<std::size_t>(written));
      return out;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
    estimate = -written;
  }
  // Windows refused it, though it is well-formed: the key is still made, unnormalised.
  return std::wstring(text);
}

// Windows refuses to normalise text holding a noncharacter; each is a starter that composes with
// nothing, so the runs between them are normalised apart and the noncharacters kept, as ICU does.
std::wstring Normalize(NORM_FORM form, const std::wstring& text) {
  const auto isNoncharacterAt = [&text](std::size_t i) -> std::size_t {
    const auto c = static_cast<char16_t>(text[i]);
    if ((c >= 0xFDD0 && c <= 0xFDEF) || c >= 0xFFFE) return 1;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && (c & 0x3FU) == 0x3F &&
        (static_cast<char16_t>(text[i + 1]) & 0xFFFEU) == 0xDFFE) {
      return 2;
    }
    return 0;
  };
  std::wstring out;
  out.reserve(text.size());
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t size = isNoncharacterAt(i);
    if (size == 0) continue;
    out += NormalizeRun(form, std::wstring_view(text).substr(runStart, i - runStart));
    out.append(text, i, size);
    i += size - 1;
    runStart = i + 1;
  }
  if (runStart == 0) return NormalizeRun(form, text);
  out += NormalizeRun(form, std::wstring_view(text).substr(runStart));
  return out;
}

std::wstring Lowercase(const std::wstring& text) {
  if (text.empty()) return text;
  const int length = static_cast<int>(text.size());
  const int needed = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.c_str(), length,
                                   nullptr, 0, nullptr, nullptr, 0);
  if (needed <= 0) return text;
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  const int written = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.c_str(), length,
                                    out.data(), needed, nullptr, nullptr, 0);
  if (written <= 0) return text;
  out.resize(static_cast<std::size_t>(written));
  return out;
}

// Where Unicode's case folding is not lower case: sharp s, final sigma, dotted capital I, the
// iota subscript (apart after NFKD), old Cyrillic letter forms and Cherokee, which folds to its
// capitals.
std::wstring FoldBeyondLowercase(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + text.size() / 4);
  for (const wchar_t unit : text) {
    const auto c = static_cast<char16_t>(unit);
    if (c == 0x00DF || c == 0x1E9E) {
      out += L"ss";
    } else if (c == 0x0130) {
      out += L"i\x0307";
    } else if (c == 0x03C2) {
      out.push_back(static_cast<wchar_t>(0x03C3));
    } else if (c == 0x0345) {
      out.push_back(static_cast<wchar_t>(0x03B9));
    } else if (c >= 0x1C80 && c <= 0x1C88) {
      static constexpr std::array<char16_t, 9> kOldCyrillic = {
          0x0432, 0x0434, 0x043E, 0x0441, 0x0442, 0x0442, 0x044A, 0x0463, 0xA64B};
      out.push_back(static_cast<wchar_t>(kOldCyrillic[c - 0x1C80]));
    } else if (c >= 0xAB70 && c <= 0xABBF) {
      out.push_back(static_cast<wchar_t>(0x13A0 + (c - 0xAB70)));
    } else if (c >= 0x13F8 && c <= 0x13FD) {
      out.push_back(static_cast<wchar_t>(0x13F0 + (c - 0x13F8)));
    } else {
      out.push_back(unit);
    }
  }
  return out;
}

struct Range {
  char32_t first;
  char32_t last;
};

bool InRanges(char32_t c, const Range* begin, const Range* end) {
  const Range* const found =
      std::upper_bound(begin, end, c, [](char32_t v, const Range& r) { return v < r.first; });
  return found != begin && c <= std::prev(found)->last;
}

// Windows types only the basic plane. Above it, Unicode 15's punctuation and symbols (and the
// unassigned code points between them, which no name holds yet), as the ICU half sees them.
constexpr Range kSupplementarySeparators[] = {
    {0x10100, 0x10102}, {0x10137, 0x1013F}, {0x10179, 0x10189}, {0x1018C, 0x101FC},
    {0x1039F, 0x1039F}, {0x103D0, 0x103D0}, {0x1056F, 0x1056F}, {0x10857, 0x10857},
    {0x10877, 0x10878}, {0x1091F, 0x1091F}, {0x1093F, 0x1093F}, {0x10A50, 0x10A58},
    {0x10A7F, 0x10A7F}, {0x10AC8, 0x10AC8}, {0x10AF0, 0x10AF6}, {0x10B39, 0x10B3F},
    {0x10B99, 0x10B9C}, {0x10EAD, 0x10EAD}, {0x10F55, 0x10F59}, {0x10F86, 0x10F89},
    {0x11047, 0x1104D}, {0x110BB, 0x110BC}, {0x110BE, 0x110C1}, {0x11140, 0x11143},
    {0x11174, 0x11175}, {0x111C5, 0x111C8}, {0x111CD, 0x111CD}, {0x111DB, 0x111DB},
    {0x111DD, 0x111DF}, {0x11238, 0x1123D}, {0x112A9, 0x112A9}, {0x1144B, 0x1144F},
    {0x1145A, 0x1145D}, {0x114C6, 0x114C6}, {0x115C1, 0x115D7}, {0x11641, 0x11643},
    {0x11660, 0x1166C}, {0x116B9, 0x116B9}, {0x1173C, 0x1173F}, {0x1183B, 0x1183B},
    {0x11944, 0x11946}, {0x119E2, 0x119E2}, {0x11A3F, 0x11A46}, {0x11A9A, 0x11A9C},
    {0x11A9E, 0x11AA2}, {0x11B00, 0x11B09}, {0x11C41, 0x11C45}, {0x11C70, 0x11C71},
    {0x11EF7, 0x11EF8}, {0x11F43, 0x11F4F}, {0x11FD5, 0x11FFF}, {0x12470, 0x12474},
    {0x12FF1, 0x12FF2}, {0x16A6E, 0x16A6F}, {0x16AF5, 0x16AF5}, {0x16B37, 0x16B3F},
    {0x16B44, 0x16B45}, {0x16E97, 0x16E9A}, {0x16FE2, 0x16FE2}, {0x1BC9C, 0x1BC9C},
    {0x1BC9F, 0x1BC9F}, {0x1CF50, 0x1D164}, {0x1D16A, 0x1D16C}, {0x1D183, 0x1D184},
    {0x1D18C, 0x1D1A9}, {0x1D1AE, 0x1D241}, {0x1D245, 0x1D245}, {0x1D300, 0x1D356},
    {0x1D6C1, 0x1D6C1}, {0x1D6DB, 0x1D6DB}, {0x1D6FB, 0x1D6FB}, {0x1D715, 0x1D715},
    {0x1D735, 0x1D735}, {0x1D74F, 0x1D74F}, {0x1D76F, 0x1D76F}, {0x1D789, 0x1D789},
    {0x1D7A9, 0x1D7A9}, {0x1D7C3, 0x1D7C3}, {0x1D800, 0x1D9FF}, {0x1DA37, 0x1DA3A},
    {0x1DA6D, 0x1DA74}, {0x1DA76, 0x1DA83}, {0x1DA85, 0x1DA8B}, {0x1E14F, 0x1E14F},
    {0x1E2FF, 0x1E2FF}, {0x1E95E, 0x1E95F}, {0x1ECAC, 0x1ECAC}, {0x1ECB0, 0x1ECB0},
    {0x1ED2E, 0x1ED2E}, {0x1EEF0, 0x1F0F5}, {0x1F10D, 0x1FBCA},
};

// Modifier symbols Windows types as letters, and symbols it leaves untyped.
constexpr Range kBasicSymbols[] = {{0x02C2, 0x02C5}, {0x02D2, 0x02DF}, {0x02E5, 0x02EB},
                                   {0x02ED, 0x02ED}, {0x02EF, 0x02FF}, {0x06DE, 0x06DE},
                                   {0x2190, 0x23FF}, {0xA700, 0xA716}, {0xA720, 0xA721},
                                   {0xA789, 0xA78A}, {0xAB6A, 0xAB6B}};

// Format characters that are part of the text they sit in (Arabic and Syriac number signs,
// interlinear annotation) rather than invisible: Windows types them as controls.
constexpr Range kBasicFormats[] = {{0x0600, 0x0605}, {0x06DD, 0x06DD}, {0x070F, 0x070F},
                                   {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0xFFF9, 0xFFFB}};

bool IsSeparator(char32_t c, WORD type1, WORD type3) {
  if (c == kReplacement) return true;
  if (c >= 0x10000) {
    return InRanges(c, std::begin(kSupplementarySeparators), std::end(kSupplementarySeparators));
  }
  if (InRanges(c, std::begin(kBasicSymbols), std::end(kBasicSymbols))) return true;
  if (InRanges(c, std::begin(kBasicFormats), std::end(kBasicFormats))) return false;
  if ((type1 & (C1_ALPHA | C1_DIGIT)) != 0) return false;
  if ((type3 & (C3_NONSPACING | C3_DIACRITIC | C3_VOWELMARK)) != 0 &&
      (type1 & (C1_PUNCT | C1_SPACE | C1_CNTRL | C1_BLANK)) == 0) {
    return false;
  }
  return (type1 & (C1_PUNCT | C1_SPACE | C1_CNTRL | C1_BLANK)) != 0 || (type3 & C3_SYMBOL) != 0;
}

}  // namespace

std::optional<PageInfo> OpenPage(std::string_view name) {
  const auto number = PageNumber(name);
  // UTF-16 and UTF-32 are no code pages to MultiByteToWideChar; the lowest real page is 37.
  if (!number || *number < 37 || *number > 65535 || *number == 1200 || *number == 1201 ||
      *number == 12000 || *number == 12001 || !IsValidCodePage(*number)) {
    return std::nullopt;
  }
  bool keepsAscii = false;
  if (!IsStateful(*number)) {
    std::array<char, 0x80> ascii{};
    for (std::size_t i = 0; i < ascii.size(); ++i) ascii[i] = static_cast<char>(i);
    std::array<wchar_t, 0x100> decoded{};
    const int written =
        MultiByteToWideChar(*number, 0, ascii.data(), static_cast<int>(ascii.size()),
                            decoded.data(), static_cast<int>(decoded.size()));
    keepsAscii = written == static_cast<int>(ascii.size());
    for (std::size_t i = 0; keepsAscii && i < ascii.size(); ++i) {
      keepsAscii = decoded[i] == static_cast<wchar_t>(i);
    }
  }
  return PageInfo{PageName(*number), *number, keepsAscii};
}

std::string PageToUtf8(const std::string& /*name*/, unsigned number, std::string_view bytes,
                       bool& lossy) {
  if (number == CP_UTF8) return RepairUtf8(bytes, lossy);
  CPINFO info{};
  const unsigned maxCharSize = GetCPInfo(number, &info) != 0 ? info.MaxCharSize : 1;
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  std::vector<wchar_t> units;
  // Pieces keep the buffers small and the counts in an int; they end after a byte below 0x40,
  // never part of a longer character in any page that keeps state only within a character.
  constexpr std::size_t kPiece = std::size_t{1} << 16U;
  while (!bytes.empty()) {
    std::size_t size = bytes.size();
    if (size > kPiece) {
      size = kPiece;
      // Within a bound that keeps the UTF-16 count in an int: stateful pages whole, the others
      // to the end of a character.
      const std::size_t most = std::min(bytes.size(), std::size_t{INT_MAX / 4});
      if (!IsStateful(number)) {
        while (size < most && static_cast<unsigned char>(bytes[size - 1]) >= 0x40) ++size;
      } else {
        size = most;
      }
    }
    const std::string_view piece = bytes.substr(0, size);
    if (Convert(number, piece, units)) {
      AppendUtf16(out, units.data(), units.size(), maxCharSize == 1, lossy);
    } else {
      ConvertSlowly(number, maxCharSize, piece, units, out, lossy);
    }
    bytes.remove_prefix(size);
  }
  return out;
}

std::u32string KeyCharacters(const std::u32string& text) {
  const std::wstring folded = Normalize(
      NormalizationKC, FoldBeyondLowercase(Lowercase(
                           FoldBeyondLowercase(Normalize(NormalizationKD, ToUtf16(text))))));
  const int length = static_cast<int>(folded.size());
  std::vector<WORD> type1(folded.size());
  std::vector<WORD> type3(folded.size());
  if (length > 0 && (GetStringTypeW(CT_CTYPE1, folded.c_str(), length, type1.data()) == 0 ||
                     GetStringTypeW(CT_CTYPE3, folded.c_str(), length, type3.data()) == 0)) {
    return {};
  }
  std::u32string out;
  out.reserve(folded.size());
  for (std::size_t i = 0; i < folded.size(); ++i) {
    char32_t c = static_cast<char16_t>(folded[i]);
    const std::size_t at = i;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < folded.size()) {
      c = 0x10000 + ((c - 0xD800) << 10U) + (static_cast<char16_t>(folded[++i]) - 0xDC00U);
    }
    if (IsDefaultIgnorable(c)) continue;
    out.push_back(IsSeparator(c, type1[at], type3[at]) ? U' ' : c);
  }
  return out;
}

}  // namespace talvo::text
