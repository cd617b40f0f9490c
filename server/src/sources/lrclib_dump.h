// LRCLIB's published database dumps, imported into the index as songs beside the library's
// (Store::ReplaceDump). A dump is an SQLite file, or that file gzipped as it is published:
//   tracks(id, name, artist_name, album_name, duration, last_lyrics_id, ...)
//   lyrics(id, plain_lyrics, synced_lyrics, instrumental, ...)
// a track's lyrics being the row its last_lyrics_id names; other tables and columns are ignored.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>

#include "index/store.h"

namespace talvo {

struct DumpReport {
  std::size_t tracks = 0;         // read from the dump
  std::size_t songs = 0;          // stored
  std::size_t withoutLyrics = 0;  // no current lyrics, or empty ones and not instrumental
  std::size_t skipped = 0;        // no name, or lyrics over kMaxLyricsBytes
};

// Called with 0 tracks once the import holds the index (the older dump's songs are then dropped,
// unseen by readers until the commit), then now and then with the tracks read so far.
using DumpProgress = std::function<void(std::size_t done, std::size_t total)>;

// Replaces the songs of the last dump imported with those of the dump at file, in one commit:
// until it, readers see the index as it was, and a failure, a stop request or the process's end
// leaves it so. The dump is opened read-only and read as a stream, so memory stays the same
// whatever its size; a gzipped one is first unpacked to unpackTo (a new file, removed after,
// whatever happens but the process being killed: the next import replaces it). Each track with
// a name and lyrics (plain, synced or both; or marked instrumental) becomes a song: the plain
// text, else the synced text's words; the synced text as it is; the duration in milliseconds;
// text that is not UTF-8 repaired, each bad part as U+FFFD.
// False with error set to one line when nothing was changed: the file cannot be read, is not
// SQLite, not an LRCLIB dump, truncated or damaged, the index refused the songs, or stop was
// requested.
bool ImportLrclibDump(Store& store, const std::filesystem::path& file,
                      const std::filesystem::path& unpackTo, DumpReport& report, std::string& error,
                      const DumpProgress& progress = {}, const std::stop_token& stop = {});

// Where a gzipped dump for the index at database is unpacked: beside it, on the same disk.
std::filesystem::path UnpackPath(const std::filesystem::path& database);

}  // namespace talvo
