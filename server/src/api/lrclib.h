// LRCLIB's API, which players' lyrics tools speak: what its queries ask for, as the service's
// questions (service/tracks.h). Its records and errors are written by json.h; its publishing half
// is refused by the routes, since the library is never written.
#pragma once

#include <optional>
#include <string>

#include "http/query.h"
#include "service/tracks.h"

namespace talvo::lrclib {

// The fields of /api/get. Nothing, with problem set to what to tell the client, when track_name
// or artist_name is missing or blank, or duration is not a number of seconds from 1 to 3600
// (digits with an optional fraction: no sign, exponent or space).
std::optional<TrackQuery> ParseTrackQuery(const QueryFields& fields, std::string& problem);

// The fields of /api/search: q, or track_name with artist_name and album_name.
TrackSearch ParseTrackSearch(const QueryFields& fields);

}  // namespace talvo::lrclib
