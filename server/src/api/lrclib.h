// LRCLIB's API, which players' lyrics tools speak: what its queries ask for, which songs answer
// them, and its records and errors as JSON. Reads the index only; the API's publishing half is
// refused by the routes, since the library is never written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/query.h"
#include "index/store.h"

namespace talvo::lrclib {

// At most this many records in a search's answer, as LRCLIB gives.
constexpr int kSearchResults = 20;
// A song answers a duration this many milliseconds either side of its own.
constexpr std::int64_t kDurationSlackMs = 2000;

// What /api/get asks for; text as UTF-8.
struct TrackQuery {
  std::string track;
  std::string artist;
  std::string album;                       // empty: any album
  std::optional<std::int64_t> durationMs;  // nothing: any duration
};

// The fields of /api/get. Nothing, with problem set to what to tell the client, when track_name
// or artist_name is missing or blank, or duration is not a number of seconds from 1 to 3600
// (digits with an optional fraction: no sign, exponent or space).
std::optional<TrackQuery> ParseTrackQuery(const QueryFields& fields, std::string& problem);

// The song for the query: a version of that title by that artist (FindSameSong: the exact names,
// then their other forms) whose album and duration agree where both sides know them; among the
// versions of the closest form, one with the asked album, then one with timing, is preferred.
std::optional<SongRow> GetTrack(Store& store, const TrackQuery& query);

// /api/get/{id}: the song with this id, or nothing.
std::optional<SongRow> GetById(Store& store, std::int64_t id);

// /api/search: songs for free text q, or for track_name with optional artist_name and
// album_name; best first, a song whose title is exactly the one asked first. None when neither
// q nor track_name is given.
std::vector<SongRow> SearchTracks(Store& store, const QueryFields& fields);

// One record: id, name, trackName, artistName, albumName, duration (seconds), instrumental,
// plainLyrics, syncedLyrics.
std::string RecordJson(const SongRow& row);
// A JSON array of records.
std::string RecordsJson(const std::vector<SongRow>& rows);
// An error as LRCLIB sends one: code and statusCode (both the HTTP status), name, message.
std::string ErrorJson(int status, std::string_view name, std::string_view message);

}  // namespace talvo::lrclib
