#include "identify/identify.h"

#include <cstring>

TagBlock tagBlock;

namespace {

char captionBuffer[kCaptionSize];

constexpr char kTagMarker[] = {'T', 'A', 'G'};
constexpr char kCaptionMarker[] = "- Winamp";
constexpr std::size_t kCaptionMarkerLength = sizeof kCaptionMarker - 1;

// Only trailing spaces that reach the field's last byte go: a NUL ends the trim, and the first
// byte always stays.
void TrimField(char (&field)[30]) {
  for (std::size_t i = sizeof field - 1; i > 0 && field[i] == ' '; --i) field[i] = '\0';
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool MatchesCaptionMarker(const char* at) {
  for (std::size_t i = 0; i < kCaptionMarkerLength; ++i) {
    if (AsciiLower(at[i]) != AsciiLower(kCaptionMarker[i])) return false;
  }
  return true;
}

}  // namespace

int ReadTagBlock(const char* fileName) {
  TagBlock block;
  if (fileName == nullptr || !ReadFileTail(fileName, &block, sizeof block)) return 0;
  if (std::memcmp(block.marker, kTagMarker, sizeof kTagMarker) != 0) return 0;
  tagBlock = block;
  TrimField(tagBlock.TagTitle);
  TrimField(tagBlock.TagArtist);
  return 1;
}

char* CutCaption(char* caption) {
  std::size_t at = std::strlen(caption);
  // The last occurrence wins: the player's name ends the caption, a song may contain it too.
  while (at >= kCaptionMarkerLength) {
    if (MatchesCaptionMarker(caption + at - kCaptionMarkerLength)) break;
    --at;
  }
  if (at < kCaptionMarkerLength) {
    caption[0] = '\0';
    return caption;
  }
  at -= kCaptionMarkerLength;
  while (at > 0 && caption[at - 1] == ' ') --at;
  caption[at] = '\0';
  return caption;
}

const char* CaptionSongText(HWND hwnd) {
  HostReadCaption(hwnd, captionBuffer, static_cast<int>(sizeof captionBuffer));
  captionBuffer[sizeof captionBuffer - 1] = '\0';
  return CutCaption(captionBuffer);
}
