// Finding the song a player asks for: the exact title and artist, then the title alone, then a
// ranked search of the index, then near misses among the songs whose names share some of the
// words, or by the artist when it is in the library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store.h"

namespace talvo {

// What a page shows for one lookup.
struct LookupResult {
  std::string title;   // what was searched for, as UTF-8 (after any caption split)
  std::string artist;  // empty when the caption named none
  std::optional<SongRow> best;
  std::vector<SongRow> candidates;  // other songs worth a look, best first, never best itself
};

// Fills result's best and candidates for the title and artist already in it (already split from
// any caption). Reads the index only.
void FindSong(Store& store, LookupResult& result);

}  // namespace talvo
