// Text from the outside world into UTF-8, and UTF-8 into the keys songs are matched by. Built on
// ICU on Linux and on Windows' own national language support on Windows, with the same answers
// where both know the text; every function here is safe to call from several threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace talvo {

// A legacy code page, as the player's tags and captions are written in one.
class CodePage {
 public:
  // Accepts the common names and aliases ("windows-1252", "KS_C_5601-1987", "Shift_JIS", "GBK",
  // "Big5", "ISO-8859-5", "KOI8-R", "UTF-8") and the Windows forms "cp949", "CP1252" and "949",
  // which always mean the Windows code page (ICU's own "cp949" is IBM's, a different table). On
  // Linux every name ICU knows; on Windows every code page number Windows has. Nothing for a
  // name the platform does not know.
  static std::optional<CodePage> Open(std::string_view name);

  // The canonical name, as the platform reports it (ICU's on Linux, Windows' on Windows).
  const std::string& Name() const { return name_; }

  // The bytes as UTF-8. Invalid or unmapped sequences become U+FFFD, and so do C1 controls
  // (Windows fills the holes of its tables, 0x81 in 1252 and the like, with them); never fails.
  // lossy, when given, tells whether any did.
  std::string ToUtf8(std::string_view bytes, bool* lossy = nullptr) const;

 private:
  CodePage(std::string name, unsigned number, bool keepsAscii)
      : name_(std::move(name)), number_(number), keepsAscii_(keepsAscii) {}
  std::string name_;
  unsigned number_;  // the platform's number for the page, where it numbers them
  bool keepsAscii_;  // ASCII bytes are those characters: plain ASCII is taken as it is
};

// A text file's bytes as UTF-8: by its byte order mark (UTF-8, UTF-16LE, UTF-16BE) when it has
// one, as UTF-8 when the bytes are valid UTF-8, otherwise from fallback. The mark is dropped and
// line ends become "\n". lossy as for CodePage::ToUtf8.
std::string DecodeFileText(std::string_view bytes, const CodePage& fallback, bool* lossy = nullptr);

// Bytes from a source that may send either: as they are when they are UTF-8, else from codePage.
std::string Utf8OrCodePage(std::string_view bytes, const CodePage& codePage);

// True when bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

// Bytes that should be UTF-8 and may not be (an LRCLIB dump's text): well-formed sequences as
// they are, each maximal ill-formed part as one U+FFFD, as a file marked UTF-8 is read.
std::string Utf8Repaired(std::string_view bytes);

// The key two names match by: NFKC with case folding, every run of punctuation, symbols and
// white space as one space, no space at either end. "AC/DC", "ac-dc" and "Ａｃ　ＤＣ" all give
// "ac dc". Letters and digits of every script are kept; bytes that are not UTF-8 count as
// symbols. Only the first MiB of a name counts.
std::string MatchKey(std::string_view utf8);

}  // namespace talvo
