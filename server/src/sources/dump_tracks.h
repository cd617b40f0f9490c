// The tracks of an LRCLIB dump's SQLite file, read one at a time as the songs they make:
//   tracks(id, name, artist_name, album_name, duration, last_lyrics_id, ...)
//   lyrics(id, plain_lyrics, synced_lyrics, instrumental, ...)
// a track's lyrics being the row its last_lyrics_id names; other tables and columns are ignored.
// The file is only read, and read as a stream: memory stays the same whatever its size.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "text/lyrics.h"

struct sqlite3;
struct sqlite3_stmt;

namespace talvo {

class DumpTracks {
 public:
  DumpTracks() = default;
  ~DumpTracks();
  DumpTracks(const DumpTracks&) = delete;
  DumpTracks& operator=(const DumpTracks&) = delete;

  // Opens database, checks that it has the tables and columns read, and counts its tracks.
  // False with error set to one line: not SQLite, not an LRCLIB dump (what it lacks named), or
  // damaged.
  bool Open(const std::filesystem::path& database, std::string& error);
  // The tracks the table holds, as Open counted them.
  std::size_t total() const { return total_; }

  enum class Track {
    kSong,           // song holds it
    kWithoutLyrics,  // no current lyrics, or empty ones and not instrumental
    kSkipped,        // no name, or lyrics over kMaxLyricsBytes
    kEnd,            // there are no more
    kDamaged,        // the rest cannot be read: Damaged() says why
  };
  // The next track in the table's order. A song's text is UTF-8, each part that was not as one
  // U+FFFD; its lyrics are the plain text, else the synced text's words; its synced text is as
  // the dump has it, when it has timestamps; its duration is in milliseconds, 0 when unknown.
  // What song holds after any other answer is no song.
  Track Next(Song& song);
  std::string Damaged() const;

 private:
  std::string NotDatabase() const;
  bool CheckSchema(std::string& error);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* tracks_ = nullptr;
  std::size_t total_ = 0;
  std::size_t read_ = 0;
  std::string plain_;  // a track's plain lyrics, when they had to be repaired
};

}  // namespace talvo
