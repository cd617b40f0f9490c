// Finding the song a client names: the one module the HTML pages and the JSON APIs ask. The
// ladder: the same song (the exact title and artist, a name cut short by its tag completed, the
// names without an added version or featured artist), then the title by anyone, then a ranked
// search of the index, then near misses among the songs whose names share some of the words, or
// by the artist when it is in the library.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/store.h"

namespace talvo {

// ID3v1 keeps a title or an artist in 30 bytes of the player's code page, and the plugin sends a
// tag's field as it is: one that arrives at exactly this size most likely held a longer name.
inline constexpr std::size_t kTagFieldBytes = 30;

// Whether a field, as the bytes a client sent before any decoding, filled a tag's field.
inline bool FillsTagField(std::string_view sent) {
  return sent.size() == kTagFieldBytes;
}

// A song as a client names it. The names are UTF-8; a cut one is the start of the song's name
// (FillsTagField), and may end inside a word.
struct SongQuery {
  std::string title;
  std::string artist;
  bool titleCut = false;
  bool artistCut = false;
};

// What a page shows for one lookup.
struct LookupResult {
  std::string title;   // what was searched for, as UTF-8 (after any caption split)
  std::string artist;  // empty when the caption named none
  std::optional<SongRow> best;
  std::vector<SongRow> candidates;  // other songs worth a look, best first, never best itself
};

// The songs that are this title by this artist, best first, at most limit: the exact names, then
// the completions of a cut name (the other name exact, or its start too when both are cut), then
// the names without a trailing "(...)" or "[...]" (an unclosed one too, when the title is cut)
// and without a featured artist (" feat. ", " feat ", " ft. ", " ft ", " featuring ", also
// inside brackets, letter case ignored). Never a song by another artist, nor one that only
// resembles the names. Nothing when either name has no key (an artist must be named).
std::vector<SongRow> FindSameSong(Store& store, const SongQuery& query, int limit);

// The lookup a page shows. An empty artist makes the title a player's caption: a leading
// playlist number goes and "Artist - Title" is split, a cut then belonging to the title. Reads
// the index only.
LookupResult FindSong(Store& store, const SongQuery& query);

}  // namespace talvo
