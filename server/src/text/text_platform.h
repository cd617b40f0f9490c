// What the platform's half of the text module gives the shared half, and the few helpers the
// shared half lends back. text_icu.cpp is the ICU half (Linux), text_win.cpp Windows' own NLS.
// Everything here is safe to call from several threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace talvo::text {

inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
inline constexpr char32_t kReplacement = 0xFFFD;

// A code page as the platform found it.
struct PageInfo {
  std::string name;         // the platform's canonical name
  unsigned number = 0;      // the platform's number for it, where it numbers its pages
  bool keepsAscii = false;  // every ASCII byte is that character whatever surrounds it
};

// Nothing for a name the platform has no table for. The name is short, not empty, no NUL.
std::optional<PageInfo> OpenPage(std::string_view name);

// Bytes in the page as UTF-8. Bad or unmapped sequences become U+FFFD and set lossy; C1 controls
// pass through (the shared half replaces them).
std::string PageToUtf8(const std::string& name, unsigned number, std::string_view bytes,
                       bool& lossy);

// NFKC with case folding, default-ignorable code points dropped, and every punctuation mark,
// symbol, space and control as U+0020; the shared half collapses the runs.
std::u32string KeyCharacters(const std::u32string& text);

// Lent by the shared half.
// A code page name reduced the way ICU compares them: letters (lower case) and digits only,
// leading zeros of a number dropped, so "CP-0949" is "cp949".
std::string PlainName(std::string_view name);
// Well-formed UTF-8 as it is; each maximal ill-formed part as one U+FFFD, setting lossy.
std::string RepairUtf8(std::string_view bytes, bool& lossy);
// UTF-8 as code points, each maximal ill-formed part as one U+FFFD.
std::u32string DecodeUtf8(std::string_view bytes);
void AppendUtf8(std::string& out, char32_t c);
// Unicode's Default_Ignorable_Code_Point: invisible, so no part of a key.
bool IsDefaultIgnorable(char32_t c);

}  // namespace talvo::text
