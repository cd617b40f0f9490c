// The one door every page and API goes through to the songs. Each call sees the index in one
// state, records what it must (a show page's lookup), and asks the upstream where the rule says
// so; no caller touches the index itself. A fake of it stands in for the index in the routes'
// tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "index/store.h"
#include "service/lookup.h"
#include "service/tracks.h"

namespace talvo {

// Why a call has no answer.
enum class Failure {
  NotFound,     // the index is there and has no such song
  Unavailable,  // the index cannot be opened: not the same as a song not found
};

// A value, or why there is none.
template <class T>
class Outcome {
 public:
  Outcome(T value) : value_(std::move(value)) {}   // NOLINT(google-explicit-constructor)
  Outcome(Failure failure) : failure_(failure) {}  // NOLINT(google-explicit-constructor)

  explicit operator bool() const { return value_.has_value(); }
  const T& operator*() const { return *value_; }
  const T* operator->() const { return &*value_; }
  // Only for an Outcome without a value.
  Failure failure() const { return failure_; }

 private:
  std::optional<T> value_;
  Failure failure_ = Failure::NotFound;
};

// Whether a track the index lacks is asked of the upstream (when there is one).
enum class OnMiss { AskUpstream, LocalOnly };
// Whether a song is read with its synced text, which only LRCLIB's records show.
enum class Timing { Without, With };

// What the index page shows.
struct Summary {
  std::int64_t songCount = 0;
  std::vector<Visit> recent;  // newest first
};

class Catalogue {
 public:
  virtual ~Catalogue() = default;

  // The show page's lookup (FindSong), recorded among the recent lookups. When the index has no
  // song of the names, the upstream's is the best match, under id 0 until it is in the index.
  virtual Outcome<LookupResult> LookUp(const SongQuery& query) = 0;
  // LRCLIB's track (FindTrack), with its timing; on a miss, the upstream's where asked.
  virtual Outcome<SongRow> Track(const TrackQuery& query, OnMiss onMiss) = 0;
  // The search page's songs, ranked, at most limit.
  virtual Outcome<std::vector<SongRow>> Search(const std::string& text, int limit) = 0;
  // LRCLIB's search (FindTracks), with timing, at most limit.
  virtual Outcome<std::vector<SongRow>> SearchTracks(const TrackSearch& search, int limit) = 0;
  virtual Outcome<SongRow> SongById(std::int64_t id, Timing timing) = 0;
  // The latest limit lookups, from memory.
  virtual Outcome<Summary> Summarize(int recentLimit) = 0;
};

}  // namespace talvo
