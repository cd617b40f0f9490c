#include "index/statements.h"

#include <string>
#include <utility>

#include "index/song_columns.h"

namespace talvo {
namespace {

std::string Number(Source source) {
  return std::to_string(static_cast<int>(source));
}

}  // namespace

int Store::Statements::Prepare(sqlite3* db) {
  const std::string columns =
      "s.id, s.path, s.source, " + song_columns::Names("s.", song_columns::Read::Light);
  const std::string putSongSql =
      "INSERT INTO songs(path, source, title_key, artist_key, lyrics_length, " +
      song_columns::Names("") + ") VALUES (?1, ?2, ?3, ?4, length(?" +
      std::to_string(song_columns::LyricsParameter(5)) + "), " + song_columns::Parameters(5) + ")";
  const std::string library = Number(Source::Library);
  const std::string dump = Number(Source::Dump);
  const std::pair<sql::Statement*, std::string> all[] = {
      {&begin, "BEGIN IMMEDIATE"},
      {&beginRead, "BEGIN"},
      {&commit, "COMMIT"},
      {&rollback, "ROLLBACK"},
      {&savepoint, "SAVEPOINT put_file"},
      {&release, "RELEASE put_file"},
      {&rollbackTo, "ROLLBACK TO put_file"},
      {&stamp, "SELECT size, mtime_ns FROM files WHERE path = ?1"},
      {&paths, "SELECT path FROM files WHERE source = " + library},
      {&putFile,
       "INSERT INTO files(path, size, mtime_ns) VALUES (?1, ?2, ?3) ON CONFLICT(path) DO "
       "UPDATE SET size = excluded.size, mtime_ns = excluded.mtime_ns"},
      {&deleteSongs, "DELETE FROM songs WHERE path = ?1"},
      {&putSong, putSongSql},
      // By path, through its index: a scan of the songs would read every row's lyrics.
      {&deleteDumpSongs,
       "DELETE FROM songs WHERE path IN (SELECT path FROM files WHERE source = " + dump + ")"},
      {&deleteDumps, "DELETE FROM files WHERE source = " + dump},
      // Not those SQLite makes itself (no sql), which belong to a constraint; nor the one by
      // path, which takes a dump's songs at its end (a dump's entry sorts after every absolute
      // path) and finds them for IndexDump.
      {&songIndexes,
       "SELECT name, sql FROM sqlite_schema WHERE type = 'index' AND tbl_name = 'songs' AND "
       "sql IS NOT NULL AND name <> 'songs_by_path'"},
      // The upstream's entry, which an import never replaces.
      {&putUpstream, "INSERT INTO files(path, size, mtime_ns, source) VALUES (?1, 0, 0, " +
                         Number(Source::Upstream) + ") ON CONFLICT(path) DO NOTHING"},
      {&deleteUpstreamSong,
       "DELETE FROM songs WHERE path = ?1 AND title_key = ?2 AND artist_key = ?3 AND album = ?4"},
      {&indexSongText,
       "INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics) "
       "SELECT id, title_key, artist_key, '' FROM songs WHERE id = ?1"},
      {&indexSongNames,
       "INSERT INTO names_fts(rowid, title_key, artist_key) "
       "SELECT id, title_key, artist_key FROM songs WHERE id = ?1"},
      {&putDump,
       "INSERT INTO files(path, size, mtime_ns, source) VALUES (?1, ?2, ?3, " + dump + ")"},
      {&checkpoint, "PRAGMA wal_checkpoint(TRUNCATE)"},
      {&deleteFile, "DELETE FROM files WHERE path = ?1"},
      {&songCount, "SELECT songs FROM song_count WHERE id = 0"},
      {&optimizeSongs, "INSERT INTO songs_fts(songs_fts) VALUES ('optimize')"},
      {&optimizeNames, "INSERT INTO names_fts(names_fts) VALUES ('optimize')"},
      {&findExact, "SELECT " + columns +
                       " FROM songs s WHERE s.title_key = ?1 AND s.artist_key = ?2 "
                       "ORDER BY s.source, s.lyrics_length DESC, s.id LIMIT ?3"},
      // The index alone: the caller orders the versions and reads those it keeps.
      {&findTitle,
       "SELECT s.id, s.artist_key IS ?2, s.source, s.lyrics_length FROM songs s "
       "WHERE s.title_key = ?1"},
      {&findArtist,
       "SELECT s.id, s.title, s.artist FROM songs s WHERE s.artist_key = ?1 AND "
       "s.artist_key <> '' ORDER BY s.title_key, s.title, s.artist, s.id LIMIT ?2"},
      // A key's start is a range of its index, read in index order up to the scan's end; the
      // caller orders what it finds. ?1-?2 and ?3-?4 are the title's and the artist's ranges;
      // an end left NULL is none, as SQLite sorts every text before every blob.
      {&findTitleStart,
       "SELECT s.id, length(s.title_key), length(s.artist_key), s.source, s.lyrics_length "
       "FROM songs s "
       "WHERE s.artist_key = ?3 AND s.title_key >= ?1 AND s.title_key < coalesce(?2, x'') "
       "ORDER BY s.title_key LIMIT ?5"},
      {&findArtistStart,
       "SELECT s.id, length(s.title_key), length(s.artist_key), s.source, s.lyrics_length "
       "FROM songs s "
       "WHERE s.title_key = ?1 AND s.artist_key >= ?3 AND s.artist_key < coalesce(?4, x'') "
       "ORDER BY s.artist_key LIMIT ?5"},
      // Both cut: the titles' range bounds the scan, and the artists' filters it.
      {&findKeyStarts,
       "SELECT id, length(title_key), length(artist_key), source, lyrics_length FROM "
       "(SELECT s.id, s.title_key, s.artist_key, s.source, s.lyrics_length FROM songs s "
       "WHERE s.title_key >= ?1 AND s.title_key < coalesce(?2, x'') ORDER BY s.title_key "
       "LIMIT ?5) WHERE artist_key >= ?3 AND artist_key < coalesce(?4, x'')"},
      // Ranks rowids alone; the rows kept are read by id after. A common word matches
      // thousands of songs, and sorting them with their lyrics costs more than the ranking,
      // while joining the few kept to the songs costs a temporary table per search.
      {&search,
       "SELECT rowid FROM songs_fts WHERE songs_fts MATCH ?1 "
       "ORDER BY bm25(songs_fts, 10.0, 5.0, 1.0), rowid LIMIT ?2"},
      {&searchNames,
       "SELECT rowid FROM names_fts WHERE names_fts MATCH ?1 "
       "ORDER BY bm25(names_fts, 10.0, 5.0), rowid LIMIT ?2"},
      {&songById, "SELECT " + columns + " FROM songs s WHERE s.id = ?1"},
      {&syncedById, "SELECT synced FROM songs WHERE id = ?1"},
      {&putLookup, "INSERT INTO lookups(at, title, artist, song_id) VALUES (?1, ?2, ?3, ?4)"},
      {&trimLookups,
       "DELETE FROM lookups WHERE id <= "
       "(SELECT id FROM lookups ORDER BY id DESC LIMIT 1 OFFSET ?1)"},
      {&recentLookups,
       // A song looked up again moves to the top rather than showing twice.
       "SELECT at, title, artist, song_id FROM lookups WHERE id IN "
       "(SELECT MAX(id) FROM lookups GROUP BY title, artist) ORDER BY id DESC LIMIT ?1"},
  };
  for (const auto& [statement, sql] : all) {
    const int code = statement->Prepare(db, sql);
    if (code != SQLITE_OK) return code;
  }
  return SQLITE_OK;
}

int Store::Statements::PrepareDump(sqlite3* db) {
  std::string ignored;  // the caller reports the connection's error
  int code = sql::Exec(db,
                       "CREATE TEMP TABLE IF NOT EXISTS dump_keys(id INTEGER PRIMARY KEY, "
                       "title_key TEXT NOT NULL, artist_key TEXT NOT NULL); "
                       "DELETE FROM temp.dump_keys",
                       ignored);
  if (code != SQLITE_OK || putDumpKeys.Get() != nullptr) return code;
  const std::pair<sql::Statement*, const char*> dump[] = {
      {&putDumpKeys, "INSERT INTO temp.dump_keys(id, title_key, artist_key) VALUES (?1, ?2, ?3)"},
      {&indexDumpSongs,
       "INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics) "
       "SELECT id, title_key, artist_key, '' FROM temp.dump_keys"},
      {&indexDumpNames,
       "INSERT INTO names_fts(rowid, title_key, artist_key) "
       "SELECT id, title_key, artist_key FROM temp.dump_keys"},
  };
  for (const auto& [statement, sql] : dump) {
    code = statement->Prepare(db, sql);
    if (code != SQLITE_OK) return code;
  }
  return SQLITE_OK;
}

}  // namespace talvo
