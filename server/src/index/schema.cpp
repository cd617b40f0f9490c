#include "index/schema.h"

#include "core/song.h"
#include "index/sql.h"

namespace talvo::schema {
namespace {

// The schema writes a song's source as its number.
static_assert(static_cast<int>(Source::Library) == 0 && static_cast<int>(Source::Dump) == 1 &&
              static_cast<int>(Source::Upstream) == 2);

constexpr const char* kSchema = R"sql(
CREATE TABLE files(
  path TEXT PRIMARY KEY,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  source INTEGER NOT NULL DEFAULT 0  -- Source: a library file (0), a dump (1), the upstream (2)
);
-- AUTOINCREMENT: a lookup may name a song that is later dropped; its id must never come back
-- as another song.
CREATE TABLE songs(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  path TEXT NOT NULL REFERENCES files(path) ON DELETE CASCADE,
  title TEXT NOT NULL,
  artist TEXT NOT NULL,
  album TEXT NOT NULL,
  lyrics TEXT NOT NULL,
  duration_ms INTEGER NOT NULL,  -- 0 when unknown
  instrumental INTEGER NOT NULL,
  source INTEGER NOT NULL,  -- Source: the library's (0) come first, then a dump's (1), the upstream's (2)
  title_key TEXT NOT NULL,
  artist_key TEXT NOT NULL,
  lyrics_length INTEGER NOT NULL,  -- in characters: the fullest lyrics of a title come first
  -- '' when the song has no timing. Last: a row read without it never loads its overflow pages.
  synced TEXT NOT NULL
);
-- Covers the choice among a title's versions: which song to read is known before any is read.
-- In the order FindExact wants, the library's songs before a dump's, so it reads no more rows
-- than it keeps.
CREATE INDEX songs_by_keys ON songs(title_key, artist_key, source, lyrics_length DESC);
CREATE INDEX songs_by_path ON songs(path);
-- Covers an artist's list of songs: it shows names only, and reads no row for them.
CREATE INDEX songs_by_artist ON songs(artist_key, title_key, title, artist);
-- Keys are MatchKey already; lyrics are folded by the tokenizer the same way the query is.
-- A dump's songs are indexed by their names only (the lyrics column empty): their words would
-- add a quarter to the index and nearly double an import's time (a million songs: 477 MiB, 84 s)
-- for a search few make. Every trigger hands FTS5 the same values, as its 'delete' must see what
-- was indexed; nothing reads the column back from here.
CREATE VIRTUAL TABLE songs_fts USING fts5(
  title_key, artist_key, lyrics,
  content='songs', content_rowid='id',
  tokenize='unicode61 remove_diacritics 2'
);
-- The names again by themselves: a word's list of songs here is as long as the titles and
-- artists holding it, where in songs_fts it also runs through every lyric that sings it.
CREATE VIRTUAL TABLE names_fts USING fts5(
  title_key, artist_key,
  content='songs', content_rowid='id',
  tokenize='unicode61 remove_diacritics 2'
);
-- A dump's songs are indexed by IndexDump, all in one statement.
CREATE TRIGGER songs_fts_insert AFTER INSERT ON songs WHEN new.source = 0 BEGIN
  INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics)
    VALUES (new.id, new.title_key, new.artist_key, new.lyrics);
  INSERT INTO names_fts(rowid, title_key, artist_key)
    VALUES (new.id, new.title_key, new.artist_key);
END;
CREATE TRIGGER songs_fts_delete AFTER DELETE ON songs BEGIN
  INSERT INTO songs_fts(songs_fts, rowid, title_key, artist_key, lyrics)
    VALUES ('delete', old.id, old.title_key, old.artist_key, iif(old.source <> 0, '', old.lyrics));
  INSERT INTO names_fts(names_fts, rowid, title_key, artist_key)
    VALUES ('delete', old.id, old.title_key, old.artist_key);
END;
CREATE TRIGGER songs_fts_update AFTER UPDATE ON songs BEGIN
  INSERT INTO songs_fts(songs_fts, rowid, title_key, artist_key, lyrics)
    VALUES ('delete', old.id, old.title_key, old.artist_key, iif(old.source <> 0, '', old.lyrics));
  INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics)
    VALUES (new.id, new.title_key, new.artist_key, iif(new.source <> 0, '', new.lyrics));
  INSERT INTO names_fts(names_fts, rowid, title_key, artist_key)
    VALUES ('delete', old.id, old.title_key, old.artist_key);
  INSERT INTO names_fts(rowid, title_key, artist_key)
    VALUES (new.id, new.title_key, new.artist_key);
END;
-- The songs' count, kept by the triggers: counting them is a walk of an index, tens of ms at a
-- million, and the index page shows it on every view.
CREATE TABLE song_count(
  id INTEGER PRIMARY KEY CHECK (id = 0),
  songs INTEGER NOT NULL
);
INSERT INTO song_count(id, songs) VALUES (0, 0);
CREATE TRIGGER song_count_insert AFTER INSERT ON songs BEGIN
  UPDATE song_count SET songs = songs + 1 WHERE id = 0;
END;
CREATE TRIGGER song_count_delete AFTER DELETE ON songs BEGIN
  UPDATE song_count SET songs = songs - 1 WHERE id = 0;
END;
CREATE TABLE lookups(
  id INTEGER PRIMARY KEY,
  at INTEGER NOT NULL,
  title TEXT NOT NULL,
  artist TEXT NOT NULL,
  song_id INTEGER
);
)sql";

// The statements that drop everything of an older schema: triggers first, since dropping a table
// deletes its rows and would fire them; then virtual tables, whose shadow tables go with them;
// indexes go with their tables.
std::string DropSchema(sqlite3* db) {
  sql::Statement objects;
  if (objects.Prepare(db,
                      "SELECT type, name FROM sqlite_schema WHERE type IN ('trigger', 'table') "
                      "AND name NOT LIKE 'sqlite_%' ORDER BY type = 'table', "
                      "sql NOT LIKE 'CREATE VIRTUAL TABLE%'") != SQLITE_OK)
    return {};
  std::string drops;
  sql::Run run(objects);
  while (run.Step() == SQLITE_ROW) {
    std::string name = run.Text(1);
    for (std::size_t at = name.find('"'); at != std::string::npos; at = name.find('"', at + 2))
      name.insert(at, 1, '"');
    drops += (run.Text(0) == "trigger" ? "DROP TRIGGER IF EXISTS \"" : "DROP TABLE IF EXISTS \"") +
             name + "\";\n";
  }
  return drops;
}

int Version(sqlite3* db) {
  sql::Statement pragma;
  if (pragma.Prepare(db, "PRAGMA user_version") != SQLITE_OK) return -1;
  sql::Run run(pragma);
  return run.Step() == SQLITE_ROW ? static_cast<int>(run.Int(0)) : -1;
}

}  // namespace

bool Ready(sqlite3* db, bool writable, const std::string& path, std::string& error) {
  int version = Version(db);
  if (version < 0) {
    error = sqlite3_errmsg(db);
    return false;
  }
  if (version < kVersion && writable) {
    // Another process may be creating it at the same moment: take the write lock, then look again.
    if (sql::Exec(db, "BEGIN IMMEDIATE", error) != SQLITE_OK) return false;
    version = Version(db);
    if (version < kVersion) {
      // An older server's index only mirrors the library: it goes, and the scan fills its
      // successor from the files again.
      const std::string create =
          DropSchema(db) + kSchema + "PRAGMA user_version = " + std::to_string(kVersion) + ";";
      if (sql::Exec(db, create.c_str(), error) != SQLITE_OK) {
        std::string ignored;
        sql::Exec(db, "ROLLBACK", ignored);
        return false;
      }
      version = kVersion;
    }
    if (sql::Exec(db, "COMMIT", error) != SQLITE_OK) return false;
  }
  if (version != kVersion) {
    error =
        version < kVersion
            ? "index " + path + " is not ready yet (schema version " + std::to_string(version) + ")"
            : "index " + path + " has schema version " + std::to_string(version) +
                  ", made by a newer server than this one (" + std::to_string(kVersion) + ")";
    return false;
  }
  return true;
}

}  // namespace talvo::schema
