// Song identification: the ID3v1 tag block at the end of a media file, or else the player's
// caption cut before the player's name.
#pragma once

#include <cstddef>

#include "host/host.h"

// The last 128 bytes of a file, laid out as ID3v1 has them. The text fields are padded with
// spaces or NULs and need not end in a NUL.
struct TagBlock {
  char marker[3];  // "TAG", letter case significant
  char TagTitle[30];
  char TagArtist[30];
  char rest[65];  // album, year, comment, genre: read with the block, never used
};
static_assert(sizeof(TagBlock) == 128, "an ID3v1 block is exactly 128 bytes");

// The block most recently read with a marker, its fields trimmed by ReadTagBlock.
extern TagBlock tagBlock;

// 1 when the named file ends in an ID3v1 block, which is then in tagBlock with the title and
// artist trimmed of the spaces that run up to their last byte; 0 for every file that cannot be
// read or has no marker.
int ReadTagBlock(const char* fileName);

// The player's caption holds at most this many bytes and a NUL.
inline constexpr std::size_t kCaptionSize = 2048;

// Cuts caption, in place, before the last "- Winamp" (ASCII letter case ignored) and the spaces
// before it; a caption without that marker becomes empty. Answers caption.
char* CutCaption(char* caption);

// The song text of window hwnd's caption, cut as CutCaption does. It stays valid until the next
// call; at most kCaptionSize - 1 bytes.
const char* CaptionSongText(HWND hwnd);
