// Every JSON the server answers with, written here and nowhere else: LRCLIB's records and
// errors, and the plugin's lookup. Text goes in escaped; it is UTF-8 already (the sources
// repair it on the way into the index).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "index/store.h"
#include "service/lookup.h"

namespace talvo::json {

// Text for the inside of a JSON string; control characters as \uXXXX.
std::string Escape(std::string_view text);

// One LRCLIB record: id, name, trackName, artistName, albumName, duration (seconds),
// instrumental, plainLyrics, syncedLyrics (absent text as null).
std::string Record(const SongRow& row);
// A JSON array of records.
std::string Records(const std::vector<SongRow>& rows);
// An error as LRCLIB sends one: code and statusCode (both the HTTP status), name, message.
std::string Error(int status, std::string_view name, std::string_view message);
// The lookup for other clients: the query, whether it was found, the song, the candidates.
std::string Lookup(const LookupResult& result);

}  // namespace talvo::json
