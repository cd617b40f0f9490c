// What a lyrics file says: the song's names and its words, from .lrc and plain-text files, and
// the names a file name or a player caption gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/limits.h"
#include "core/song.h"

namespace talvo {

// A parsed text is never allowed past kMaxLyricsBytes, so a file cannot make a song many times its
// own size.
using limits::kMaxLyricsBytes;

// An .lrc text (UTF-8): [ti:], [ar:] and [al:] give the names (the first of each); other
// [tag:...] lines are dropped; timestamps ([mm:ss], [mm:ss.x], [mm:ss.xx], [mm:ss.xxx],
// [mm:ss:xx]) at the start of a line are removed, and so are the per-word <mm:ss.xx> stamps of
// the enhanced form. A line with several timestamps appears once per stamp (the first 64 count),
// and lines are put in time order: unstamped lines before the first stamp keep their place at
// the start, later ones stay after the line they follow. Blank lines between verses are kept, at
// most one in a row; the words then read as TidyLyrics gives them. Lyrics that would pass
// kMaxLyricsBytes end at the last whole line that fits (repeated stamps multiply a line).
//
// When the text has a timestamp, synced holds the stamped lines in the same order, one
// "[mm:ss.xx] words" per stamp ("[mm:ss.xx] " for a stamped blank line), "\n" between them; the
// first numeric [offset:] (milliseconds) is applied, a positive one making lines earlier, never
// before 00:00.00; a per-word stamp and the blanks around it become one space; unstamped lines are
// left out. It too ends at the last whole line within kMaxLyricsBytes. The first valid [length:]
// ("m:ss", "mm:ss.xx") gives durationMs. "[au: instrumental]" anywhere (letter case and blanks
// inside it ignored) makes the song instrumental.
Song ParseLrc(std::string_view text);

// True when text looks like timestamped lyrics (SYLT-less USLT frames and tags often carry .lrc
// text); then ParseLrc(text).lyrics is the plain form.
bool HasTimestamps(std::string_view text);

// Lyrics in a text of unknown form (an audio tag, a .txt file): ParseLrc's words, timing, length
// and instrumental mark when it has timestamps or the mark, else TidyLyrics' words. The names are
// left empty: such text names its song elsewhere.
Song ParseLyrics(std::string_view text);

// Plain lyrics: line ends as "\n", trailing spaces trimmed, leading and trailing blank lines
// dropped, runs of blank lines as one.
std::string TidyLyrics(std::string_view text);

// A player caption or file name stem with a leading playlist number ("12. ", "3.") removed.
std::string_view DropPlaylistNumber(std::string_view text);

// Splits "Artist - Title" at the first " - ". False, leaving both untouched, when there is none
// or either side would be empty (after trimming spaces).
bool SplitArtistTitle(std::string_view text, std::string& artist, std::string& title);

}  // namespace talvo
