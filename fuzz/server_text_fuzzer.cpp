// The lyrics server's text path on arbitrary bytes: the plugin's encoding read back by the
// server's query decoder, code pages and file text into UTF-8, the matching key, .lrc parsing and
// the caption split. The first byte picks the code page; the rest is the text.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "address/address.h"
#include "checks.h"
#include "http/query.h"
#include "text/lyrics.h"
#include "text/text.h"

namespace {

// The plugin's value as the server reads it back: every byte as it was.
void RoundTripQuery(std::string_view bytes) {
  const std::string text(bytes.substr(0, bytes.find('\0')));
  const auto encoded = std::make_unique<char[]>(3 * text.size() + 4);
  EncodeQueryText(text.c_str(), encoded.get());
  talvo::QueryFields fields;
  Require(talvo::ParseQuery("title=" + std::string(encoded.get()) + "&singer=", fields),
          "the server accepts every value the plugin encodes");
  Require(talvo::FieldValue(fields, "title") == text, "the title decodes to its bytes");

  std::string decoded;
  if (talvo::DecodeQueryValue(bytes, decoded))
    Require(decoded.size() <= bytes.size(), "decoding never lengthens a value");
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Each line "[mm:ss.xx] words": minutes of two digits or more, seconds below 60, in time order,
// the words without a blank at either end; the whole within the lyrics cap.
void CheckSynced(const std::string& synced) {
  Require(synced.size() <= talvo::kMaxLyricsBytes, "synced lyrics stay within the cap");
  if (synced.empty()) return;
  std::string previous;
  std::size_t start = 0;
  while (start <= synced.size()) {
    std::size_t end = synced.find('\n', start);
    if (end == std::string::npos) end = synced.size();
    const std::string_view line(synced.data() + start, end - start);
    std::size_t i = 1;
    Require(!line.empty() && line[0] == '[', "a synced line starts with a stamp");
    while (i < line.size() && IsDigit(line[i])) ++i;
    Require(i >= 3 && i + 8 <= line.size(), "a stamp has two or more minute digits");
    Require(line[i] == ':' && IsDigit(line[i + 1]) && line[i + 1] < '6' && IsDigit(line[i + 2]) &&
                line[i + 3] == '.' && IsDigit(line[i + 4]) && IsDigit(line[i + 5]) &&
                line[i + 6] == ']' && line[i + 7] == ' ',
            "a stamp is [mm:ss.xx] and a space");
    // Zero-padded to the same width, stamps compare as text; a longer one is later.
    std::string stamp(line.substr(0, i + 7));
    Require(
        previous.size() < stamp.size() || (previous.size() == stamp.size() && previous <= stamp),
        "synced lines are in time order");
    previous = std::move(stamp);
    const std::string_view words = line.substr(i + 8);
    Require(words.empty() || (words.front() != ' ' && words.back() != ' '),
            "synced words have no blank at either end");
    start = end + 1;
  }
}

void CheckKey(std::string_view utf8) {
  const std::string key = talvo::MatchKey(utf8);
  Require(talvo::IsValidUtf8(key), "a key is UTF-8");
  Require(key.empty() || (key.front() != ' ' && key.back() != ' '), "a key is trimmed");
  Require(key.find("  ") == std::string::npos, "a key has single spaces");
  Require(talvo::MatchKey(key) == key, "a key is its own key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const auto windows1252 = talvo::CodePage::Open("windows-1252");
  static const auto korean = talvo::CodePage::Open("cp949");
  Require(windows1252 && korean, "the code pages open");
  const auto& codePage = data[0] & 1 ? *korean : *windows1252;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  RoundTripQuery(bytes);

  const std::string text = codePage.ToUtf8(bytes);
  Require(talvo::IsValidUtf8(text), "a code page gives UTF-8");
  CheckKey(text);

  const std::string file = talvo::DecodeFileText(bytes, codePage);
  Require(talvo::IsValidUtf8(file), "file text comes out as UTF-8");
  const talvo::Song song = talvo::ParseLrc(file);
  Require(talvo::IsValidUtf8(song.lyrics) && talvo::IsValidUtf8(song.title) &&
              talvo::IsValidUtf8(song.synced),
          "parsed lyrics stay UTF-8");
  Require(song.durationMs >= 0, "a length is never negative");
  CheckSynced(song.synced);

  std::string artist;
  std::string title;
  const auto caption = talvo::DropPlaylistNumber(text);
  if (talvo::SplitArtistTitle(caption, artist, title))
    Require(!artist.empty() && !title.empty() && artist.size() + title.size() < caption.size(),
            "a split caption has both names, shorter than the caption");
  return 0;
}
