// LRCLIB's questions of the index: a track by its names, album and duration, and a search of
// tracks. Records show their timing, so every song these give has its synced text read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/store.h"

namespace talvo {

// A song answers a duration this many milliseconds either side of its own.
constexpr std::int64_t kDurationSlackMs = 2000;

// What /api/get asks for; text as UTF-8.
struct TrackQuery {
  std::string track;
  std::string artist;
  std::string album;                       // empty: any album
  std::optional<std::int64_t> durationMs;  // nothing: any duration
};

// What /api/search asks for: free text, or a track name with an optional artist and album; a
// blank one is empty.
struct TrackSearch {
  std::string text;
  std::string track;
  std::string artist;
  std::string album;
};

// The song for the query: a version of that title by that artist (FindSameSong: the exact names,
// then their other forms) whose album and duration agree where both sides know them. Among the
// versions of the closest form, the library's comes first, as everywhere; then one with the
// asked album, then one with timing.
std::optional<SongRow> FindTrack(Store& store, const TrackQuery& query);

// Songs for the search, at most limit, best first: for free text, the songs titled exactly so,
// then the ranked search; for a track name, its songs by the artist (when named), then the songs
// whose names hold all the words; an album, when named, must agree. None for a search naming
// neither text nor track.
std::vector<SongRow> FindTracks(Store& store, const TrackSearch& search, int limit);

// The rows with their synced text read.
std::vector<SongRow> WithTiming(Store& store, std::vector<SongRow> rows);

}  // namespace talvo
