// LRCLIB-schema dumps written by the tests themselves, row by row, so that each case names
// exactly what the dump holds. server/bench/make_lrclib_dump.py writes realistic ones.
#pragma once

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace talvo::dump {

struct Track {
  std::optional<std::string> name = {};
  std::string artist = {};
  std::string album = {};
  std::optional<double> duration = {};
  std::optional<std::int64_t> lastLyricsId = {};
};

struct Lyrics {
  std::int64_t id = 0;
  std::optional<std::string> plain = {};
  std::optional<std::string> synced = {};
  bool instrumental = false;
};

// LRCLIB's tables, with a column and a table a newer dump might add: the import ignores both.
inline constexpr const char* kSchema = R"sql(
CREATE TABLE tracks(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT, name_lower TEXT,
  artist_name TEXT, artist_name_lower TEXT, album_name TEXT, album_name_lower TEXT,
  duration FLOAT, last_lyrics_id INTEGER, created_at DATETIME, updated_at DATETIME,
  isrc TEXT);
CREATE TABLE lyrics(id INTEGER PRIMARY KEY AUTOINCREMENT, plain_lyrics TEXT, synced_lyrics TEXT,
  track_id INTEGER, has_plain_lyrics BOOLEAN, has_synced_lyrics BOOLEAN, instrumental BOOLEAN,
  source TEXT, created_at DATETIME, updated_at DATETIME);
CREATE TABLE flags(id INTEGER PRIMARY KEY, note TEXT);
)sql";

// Bound without a copy (SQLite's "static"): the text outlives the statement's step.
inline void Bind(sqlite3_stmt* statement, int index, const std::optional<std::string>& text) {
  if (text) {
    sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()), nullptr);
  } else {
    sqlite3_bind_null(statement, index);
  }
}
inline void Bind(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), nullptr);
}

// Writes tracks (ids from 1, in order) and lyrics, a lyrics row after each track as a live
// database grows, so that the two tables' pages interleave. False if SQLite refused anything.
inline bool Write(const std::filesystem::path& file, const std::vector<Track>& tracks,
                  const std::vector<Lyrics>& lyrics, const char* schema = kSchema) {
  std::filesystem::remove(file);
  sqlite3* db = nullptr;
  if (sqlite3_open(file.string().c_str(), &db) != SQLITE_OK) return false;
  bool ok = sqlite3_exec(db, schema, nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* track = nullptr;
  sqlite3_stmt* words = nullptr;
  // A schema of the test's own may lack these columns: it then gets no rows.
  const bool rows = !tracks.empty() || !lyrics.empty();
  if (ok && rows) {
    ok = sqlite3_prepare_v2(db,
                            "INSERT INTO tracks(name, artist_name, album_name, duration, "
                            "last_lyrics_id) VALUES (?1, ?2, ?3, ?4, ?5)",
                            -1, &track, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db,
                            "INSERT INTO lyrics(id, plain_lyrics, synced_lyrics, instrumental) "
                            "VALUES (?1, ?2, ?3, ?4)",
                            -1, &words, nullptr) == SQLITE_OK;
  }
  std::size_t next = 0;
  for (std::size_t i = 0; ok && i < std::max(tracks.size(), lyrics.size()); ++i) {
    if (i < tracks.size()) {
      const Track& t = tracks[i];
      Bind(track, 1, t.name);
      Bind(track, 2, t.artist);
      Bind(track, 3, t.album);
      if (t.duration) sqlite3_bind_double(track, 4, *t.duration);
      if (t.lastLyricsId) sqlite3_bind_int64(track, 5, *t.lastLyricsId);
      ok = sqlite3_step(track) == SQLITE_DONE;
      sqlite3_reset(track);
      sqlite3_clear_bindings(track);
    }
    // The lyrics in step with the tracks, the rest after them.
    const std::size_t until =
        i + 1 < tracks.size() ? std::min(lyrics.size(), i + 1) : lyrics.size();
    for (; ok && next < until; ++next) {
      const Lyrics& l = lyrics[next];
      sqlite3_bind_int64(words, 1, l.id);
      Bind(words, 2, l.plain);
      Bind(words, 3, l.synced);
      sqlite3_bind_int(words, 4, l.instrumental ? 1 : 0);
      ok = sqlite3_step(words) == SQLITE_DONE;
      sqlite3_reset(words);
      sqlite3_clear_bindings(words);
    }
  }
  sqlite3_finalize(track);
  sqlite3_finalize(words);
  ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

// A dump of count tracks named "<prefix> <n>" by "Artist <n % 50>", each with lines of plain
// and synced lyrics: a size for tests that need an import to take a while.
inline bool WriteMany(const std::filesystem::path& file, const std::string& prefix, int count,
                      int lines = 30) {
  std::vector<Track> tracks;
  std::vector<Lyrics> lyrics;
  // Appended in place: the temporaries of a chain of + cost minutes under valgrind at the sizes
  // the import tests write.
  std::string words;
  for (int n = 1; n <= count; ++n) {
    std::string plain;
    std::string synced;
    for (int line = 0; line < lines; ++line) {
      words.assign(prefix).append(" line ").append(std::to_string(line));
      words.append(" of song ").append(std::to_string(n)).append(" with a few more words\n");
      plain.append(words);
      synced.append("[00:").append(std::to_string(10 + line)).append(".00] ").append(words);
    }
    tracks.push_back({.name = prefix + " " + std::to_string(n),
                      .artist = "Artist " + std::to_string(n % 50),
                      .album = "Album",
                      .duration = 200.0,
                      .lastLyricsId = n});
    lyrics.push_back({.id = n, .plain = plain, .synced = synced, .instrumental = false});
  }
  return Write(file, tracks, lyrics);
}

// The whole file in one read: a byte at a time through a stream iterator takes minutes under
// valgrind for the dumps the tests write.
inline std::string ReadBytes(const std::filesystem::path& file) {
  std::error_code error;
  std::string bytes(static_cast<std::size_t>(std::filesystem::file_size(file, error)), '\0');
  if (error) return {};
  std::ifstream in(file, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

inline bool Gzip(const std::filesystem::path& from, const std::filesystem::path& to) {
  const std::string bytes = ReadBytes(from);
  gzFile out = gzopen(to.string().c_str(), "wb1");
  if (out == nullptr) return false;
  const bool ok = gzwrite(out, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                  static_cast<int>(bytes.size());
  return gzclose(out) == Z_OK && ok;
}

}  // namespace talvo::dump
