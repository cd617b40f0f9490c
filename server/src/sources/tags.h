// What an audio file's tags say about its song: the names, the lyrics embedded in it, with their
// timing when the tags have it, and the recording's length. Read with TagLib, only ever for
// reading.
#pragma once

#include <filesystem>
#include <string>

#include "text/lyrics.h"
#include "text/text.h"

namespace talvo {

// What a reader wants from an audio file: a .lrc beside it needs no embedded lyrics.
enum class AudioParts { kNamesAndLength, kAll };

// Fills song from file's tags:
// - title, artist and album; ID3 "Latin-1" text (ID3v2 frames, ID3v1) is decoded with codePage,
//   ID3v1 only for a file without ID3v2 text;
// - durationMs from the audio properties (TagLib's fast read), 0 when they tell nothing;
// - with kAll, the lyrics: MP3 ID3v2 USLT, else the first SYLT frame with words (FLAC: its ID3v2
//   when it has no Xiph field); FLAC and Ogg LYRICS, then UNSYNCEDLYRICS; MP4 ©lyr. Text in .lrc
//   form is read as ParseLyrics reads it: words, timing, [length:] (when the properties gave no
//   length) and the instrumental mark. A SYLT frame timed in milliseconds gives the timing, and
//   wins over a USLT frame's; one timed in MPEG frames gives its words only (timing it would mean
//   decoding the audio). A SYLT frame's words stay in the frame's order.
// False with problem set when the file cannot be opened, is not one TagLib can read, or (kAll)
// holds lyrics longer than kMaxLyricsBytes. An MP3 is not checked for audio frames: junk reads as
// an untagged file.
bool ReadAudioFile(const std::filesystem::path& file, const CodePage& codePage, AudioParts parts,
                   Song& song, std::string& problem);

}  // namespace talvo
