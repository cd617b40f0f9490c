// The record in an /api/get answer, read field by field.
#pragma once

#include <optional>
#include <string_view>

#include "text/lyrics.h"

namespace talvo::upstream {

struct Record {
  bool json = false;         // the body parses as JSON
  std::optional<Song> song;  // and is a record
};

// A record is an object with trackName and artistName strings, albumName a string or null,
// duration a number of seconds or null, instrumental a boolean, plainLyrics and syncedLyrics
// strings or null (a missing nullable field counts as null). The synced text is kept in
// ParseLrc's form; plain lyrics missing are taken from it.
Record ReadRecord(std::string_view body);

}  // namespace talvo::upstream
