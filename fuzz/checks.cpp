#include "checks.h"

#include <cstdio>
#include <cstdlib>

#include "address/address.h"

namespace {

bool IsKept(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '@' ||
         c == '.';
}

// Lowercase only: "%2D" is not what the encoder writes.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

void Require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

std::optional<std::string> DecodeQueryText(std::string_view encoded) {
  std::string text;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const auto c = static_cast<unsigned char>(encoded[i]);
    if (c == '+') {
      text += ' ';
    } else if (IsKept(c)) {
      text += encoded[i];
    } else {
      if (c != '%' || encoded.size() - i < 3) return std::nullopt;
      const int high = HexValue(encoded[i + 1]);
      const int low = HexValue(encoded[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      const auto byte = static_cast<unsigned char>(high * 16 + low);
      // Bytes that have a shorter form, and the NUL that ends a text, are never escaped.
      if (byte == 0 || byte == ' ' || IsKept(byte)) return std::nullopt;
      text += static_cast<char>(byte);
      i += 2;
    }
  }
  return text;
}

std::optional<ShowPageQuery> ReadShowPageAddress(std::string_view address) {
  const std::string prefix =
      std::string("http://") + LyricsHost + "/kr/lyrics_plugin_show.html?title=";
  constexpr std::string_view kSingerKey = "&singer=";
  if (!address.starts_with(prefix)) return std::nullopt;
  address.remove_prefix(prefix.size());
  // A value never holds '&', so the first key found is the singer's.
  const std::size_t key = address.find(kSingerKey);
  if (key == std::string_view::npos) return std::nullopt;
  auto title = DecodeQueryText(address.substr(0, key));
  auto singer = DecodeQueryText(address.substr(key + kSingerKey.size()));
  if (!title || !singer) return std::nullopt;
  return ShowPageQuery{std::move(*title), std::move(*singer)};
}

std::optional<std::size_t> FindLastCaptionMarker(std::string_view caption) {
  constexpr std::string_view kMarker = "- winamp";
  std::optional<std::size_t> last;
  for (std::size_t at = 0; at + kMarker.size() <= caption.size(); ++at) {
    bool matches = true;
    for (std::size_t i = 0; i < kMarker.size() && matches; ++i) {
      matches = AsciiLower(caption[at + i]) == kMarker[i];
    }
    if (matches) last = at;
  }
  return last;
}

void CheckCaptionCut(std::string_view caption, std::string_view song) {
  const auto marker = FindLastCaptionMarker(caption);
  if (!marker) {
    Require(song.empty(), "a caption without the marker gives the empty text");
    return;
  }
  Require(song.size() <= *marker, "nothing from the last marker on survives the cut");
  Require(caption.starts_with(song), "the song text is the start of the caption");
  Require(caption.substr(song.size(), *marker - song.size()).find_first_not_of(' ') ==
              std::string_view::npos,
          "only spaces stand between the song text and the marker");
  Require(song.empty() || song.back() != ' ', "every space just before the marker is cut");
}
