// The song record every layer shares: what a lyrics file, a tag, a dump's track or another
// server's answer says about one song, and where it came from.
#pragma once

#include <cstdint>
#include <string>

namespace talvo {

// Where a song came from, in the order a page prefers them: the user's own library first, then a
// published dump, then another server's answer. The index stores it as this number.
enum class Source : std::uint8_t {
  Library = 0,
  Dump = 1,
  Upstream = 2,
};

struct Song {
  std::string title;
  std::string artist;
  std::string album;
  std::string lyrics;  // plain text, one line per lyric line, no timestamps
  // The same words with their timing, "[mm:ss.xx] line" per line in time order; empty when the
  // source had no timing.
  std::string synced;
  std::int64_t durationMs = 0;  // the recording's length; 0 when unknown
  bool instrumental = false;    // a song known to have no words
};

}  // namespace talvo
