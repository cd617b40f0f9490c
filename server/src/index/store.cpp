#include "index/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <tuple>
#include <utility>

#include "text/text.h"

namespace talvo {

namespace {

// Bumped whenever the schema changes. The index only mirrors the library, so an index from
// another version is not migrated: an older one is emptied and the next scan fills it again (an
// imported dump must be imported again), a newer one is refused.
constexpr int kSchemaVersion = 7;

// A page's sorts are small: in memory, not in a temporary file.
constexpr const char* kReaderPragmas = "PRAGMA temp_store = MEMORY";

// Search words beyond this many add nothing but cost.
constexpr std::size_t kMaxSearchWords = 16;

constexpr const char* kSchema = R"sql(
CREATE TABLE files(
  path TEXT PRIMARY KEY,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  from_dump INTEGER NOT NULL DEFAULT 0  -- an imported dump, not a library file: scans skip it
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
  from_dump INTEGER NOT NULL,  -- 1 for a dump's song: the library's of the same names come first
  title_key TEXT NOT NULL,
  artist_key TEXT NOT NULL,
  lyrics_length INTEGER NOT NULL,  -- in characters: the fullest lyrics of a title come first
  -- '' when the song has no timing. Last: a row read without it never loads its overflow pages.
  synced TEXT NOT NULL
);
-- Covers the choice among a title's versions: which song to read is known before any is read.
-- In the order FindExact wants, the library's songs before a dump's, so it reads no more rows
-- than it keeps.
CREATE INDEX songs_by_keys ON songs(title_key, artist_key, from_dump, lyrics_length DESC);
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
CREATE TRIGGER songs_fts_insert AFTER INSERT ON songs WHEN NOT new.from_dump BEGIN
  INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics)
    VALUES (new.id, new.title_key, new.artist_key, new.lyrics);
  INSERT INTO names_fts(rowid, title_key, artist_key)
    VALUES (new.id, new.title_key, new.artist_key);
END;
CREATE TRIGGER songs_fts_delete AFTER DELETE ON songs BEGIN
  INSERT INTO songs_fts(songs_fts, rowid, title_key, artist_key, lyrics)
    VALUES ('delete', old.id, old.title_key, old.artist_key, iif(old.from_dump, '', old.lyrics));
  INSERT INTO names_fts(names_fts, rowid, title_key, artist_key)
    VALUES ('delete', old.id, old.title_key, old.artist_key);
END;
CREATE TRIGGER songs_fts_update AFTER UPDATE ON songs BEGIN
  INSERT INTO songs_fts(songs_fts, rowid, title_key, artist_key, lyrics)
    VALUES ('delete', old.id, old.title_key, old.artist_key, iif(old.from_dump, '', old.lyrics));
  INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics)
    VALUES (new.id, new.title_key, new.artist_key, iif(new.from_dump, '', new.lyrics));
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

// Every column but the synced text, which only LRCLIB's records show (SyncedLyrics).
constexpr const char* kSongColumns =
    "s.id, s.path, s.title, s.artist, s.album, s.lyrics, s.duration_ms, s.instrumental";

bool Ok(int code) {
  return code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE;
}

// A prepared statement kept for the life of the connection.
class Statement {
 public:
  Statement() = default;
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  int Prepare(sqlite3* db, const std::string& sql) {
    return sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size() + 1),
                              SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  }
  sqlite3_stmt* Get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// One use of a statement: bindings in, rows out, and reset for the next use however it ends.
class Run {
 public:
  explicit Run(const Statement& statement) : stmt_(statement.Get()) {}
  ~Run() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Every Bind is checked at Step, so a chain of them needs no checks between. Text is bound
  // SQLITE_STATIC (not copied): it must outlive the run, so a temporary string is refused.
  Run& Bind(int index, const std::string& text) {
    Note(sqlite3_bind_text64(stmt_, index, text.data(), text.size(), nullptr, SQLITE_UTF8));
    return *this;
  }
  Run& Bind(int index, std::string&& text) = delete;
  Run& Bind(int index, std::int64_t value) {
    Note(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Run& BindNull(int index) {
    Note(sqlite3_bind_null(stmt_, index));
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return Ok(bindCode_) ? sqlite3_step(stmt_) : bindCode_; }

  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (text == nullptr || size <= 0) return {};
    return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)};
  }

 private:
  void Note(int code) {
    if (Ok(bindCode_) && !Ok(code)) bindCode_ = code;
  }
  sqlite3_stmt* stmt_;
  int bindCode_ = SQLITE_OK;
};

// A library file's song and a dump's are the same ten columns, in the same order.
Run& BindSong(Run& run, const std::string& path, const Song& song, const std::string& titleKey,
              const std::string& artistKey) {
  return run.Bind(1, path)
      .Bind(2, song.title)
      .Bind(3, song.artist)
      .Bind(4, song.album)
      .Bind(5, song.lyrics)
      .Bind(6, song.synced)
      .Bind(7, song.durationMs)
      .Bind(8, std::int64_t{song.instrumental})
      .Bind(9, titleKey)
      .Bind(10, artistKey);
}

// The text of a temporary would be gone before the statement runs.
template <class Text>
concept Bindable = requires(Run& run, Text&& text) {
  run.Bind(1, std::forward<Text>(text));
};
static_assert(Bindable<const std::string&> && !Bindable<std::string>);

SongRow ReadSong(const Run& run) {
  SongRow row;
  row.id = run.Int(0);
  row.path = run.Text(1);
  row.song.title = run.Text(2);
  row.song.artist = run.Text(3);
  row.song.album = run.Text(4);
  row.song.lyrics = run.Text(5);
  row.song.durationMs = run.Int(6);
  row.song.instrumental = run.Int(7) != 0;
  return row;
}

// Free text as an FTS5 query that can only ever mean "all these words" (the last one a prefix)
// or "any of these words": each word a quoted string, so AND, NEAR, col:, * and quotes are just
// text. Empty when there is no word.
std::string SearchQuery(std::string_view text, Store::Words match) {
  const std::string key = MatchKey(text);
  std::string query;
  std::size_t words = 0;
  std::size_t start = 0;
  while (start < key.size() && words < kMaxSearchWords) {
    std::size_t end = key.find(' ', start);
    if (end == std::string::npos) end = key.size();
    if (end > start) {
      if (!query.empty()) query += match == Store::Words::Any ? " OR " : " ";
      query += '"';
      for (const char c : std::string_view(key).substr(start, end - start)) {
        if (c == '"') query += '"';
        query += c;
      }
      query += '"';
      ++words;
    }
    start = end + 1;
  }
  if (!query.empty() && match == Store::Words::All) query += '*';
  return query;
}

// Once, before the first connection: SQLite counts every allocation under one process-wide lock
// unless told not to, and pages on several threads would queue on it.
void ConfigureSqlite() {
  static const int configured = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return sqlite3_initialize();
  }();
  static_cast<void>(configured);
}

int Exec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  const int code = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (code != SQLITE_OK) {
    error = message != nullptr ? message : sqlite3_errstr(code);
  }
  sqlite3_free(message);
  return code;
}

// The statements that drop everything of an older schema: triggers first, since dropping a table
// deletes its rows and would fire them; then virtual tables, whose shadow tables go with them;
// indexes go with their tables.
std::string DropSchema(sqlite3* db) {
  Statement objects;
  if (objects.Prepare(db,
                      "SELECT type, name FROM sqlite_schema WHERE type IN ('trigger', 'table') "
                      "AND name NOT LIKE 'sqlite_%' ORDER BY type = 'table', "
                      "sql NOT LIKE 'CREATE VIRTUAL TABLE%'") != SQLITE_OK)
    return {};
  std::string drops;
  Run run(objects);
  while (run.Step() == SQLITE_ROW) {
    std::string name = run.Text(1);
    for (std::size_t at = name.find('"'); at != std::string::npos; at = name.find('"', at + 2))
      name.insert(at, 1, '"');
    drops += (run.Text(0) == "trigger" ? "DROP TRIGGER IF EXISTS \"" : "DROP TABLE IF EXISTS \"") +
             name + "\";\n";
  }
  return drops;
}

}  // namespace

struct Store::Statements {
  Statement begin, beginRead, commit, rollback;
  Statement savepoint, release, rollbackTo;
  Statement stamp, paths, putFile, deleteSongs, putSong, deleteFile, songCount;
  Statement deleteDumpSongs, deleteDumps, songIndexes, putDump, putDumpSong;
  Statement putUpstream, deleteUpstreamSong, indexSongNames, indexSongText;
  // On the import's scratch table, which exists only during an import: prepared by the first.
  Statement putDumpKeys, indexDumpSongs, indexDumpNames;
  Statement checkpoint;
  Statement optimizeSongs, optimizeNames;
  Statement findExact, findTitle, findArtist, search, searchNames, songById, syncedById;
  Statement findTitleStart, findArtistStart, findKeyStarts;
  Statement putLookup, trimLookups, recentLookups;

  int Prepare(sqlite3* db) {
    const std::string columns = kSongColumns;
    const std::pair<Statement*, std::string> all[] = {
        {&begin, "BEGIN IMMEDIATE"},
        {&beginRead, "BEGIN"},
        {&commit, "COMMIT"},
        {&rollback, "ROLLBACK"},
        {&savepoint, "SAVEPOINT put_file"},
        {&release, "RELEASE put_file"},
        {&rollbackTo, "ROLLBACK TO put_file"},
        {&stamp, "SELECT size, mtime_ns FROM files WHERE path = ?1"},
        {&paths, "SELECT path FROM files WHERE NOT from_dump"},
        {&putFile,
         "INSERT INTO files(path, size, mtime_ns) VALUES (?1, ?2, ?3) ON CONFLICT(path) DO "
         "UPDATE SET size = excluded.size, mtime_ns = excluded.mtime_ns"},
        {&deleteSongs, "DELETE FROM songs WHERE path = ?1"},
        {&putSong,
         "INSERT INTO songs(path, title, artist, album, lyrics, synced, duration_ms, "
         "instrumental, title_key, artist_key, lyrics_length, from_dump) "
         "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, length(?5), 0)"},
        // By path, through its index: a scan of the songs would read every row's lyrics.
        {&deleteDumpSongs,
         "DELETE FROM songs WHERE path IN (SELECT path FROM files WHERE from_dump = 1)"},
        {&deleteDumps, "DELETE FROM files WHERE from_dump = 1"},
        // Not those SQLite makes itself (no sql), which belong to a constraint; nor the one by
        // path, which takes a dump's songs at its end (a dump's entry sorts after every absolute
        // path) and finds them for IndexDump.
        {&songIndexes,
         "SELECT name, sql FROM sqlite_schema WHERE type = 'index' AND tbl_name = 'songs' AND "
         "sql IS NOT NULL AND name <> 'songs_by_path'"},
        // 2: the upstream's entry, a dump that an import never replaces.
        {&putUpstream,
         "INSERT INTO files(path, size, mtime_ns, from_dump) VALUES (?1, 0, 0, 2) "
         "ON CONFLICT(path) DO NOTHING"},
        {&deleteUpstreamSong,
         "DELETE FROM songs WHERE path = ?1 AND title_key = ?2 AND artist_key = ?3 AND album = ?4"},
        {&indexSongText,
         "INSERT INTO songs_fts(rowid, title_key, artist_key, lyrics) "
         "SELECT id, title_key, artist_key, '' FROM songs WHERE id = ?1"},
        {&indexSongNames,
         "INSERT INTO names_fts(rowid, title_key, artist_key) "
         "SELECT id, title_key, artist_key FROM songs WHERE id = ?1"},
        {&putDump, "INSERT INTO files(path, size, mtime_ns, from_dump) VALUES (?1, ?2, ?3, 1)"},
        {&putDumpSong,
         "INSERT INTO songs(path, title, artist, album, lyrics, synced, duration_ms, "
         "instrumental, title_key, artist_key, lyrics_length, from_dump) "
         "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, length(?5), 1)"},
        {&checkpoint, "PRAGMA wal_checkpoint(TRUNCATE)"},
        {&deleteFile, "DELETE FROM files WHERE path = ?1"},
        {&songCount, "SELECT songs FROM song_count WHERE id = 0"},
        {&optimizeSongs, "INSERT INTO songs_fts(songs_fts) VALUES ('optimize')"},
        {&optimizeNames, "INSERT INTO names_fts(names_fts) VALUES ('optimize')"},
        {&findExact, "SELECT " + columns +
                         " FROM songs s WHERE s.title_key = ?1 AND s.artist_key = ?2 "
                         "ORDER BY s.from_dump, s.lyrics_length DESC, s.id LIMIT ?3"},
        // The index alone: the caller orders the versions and reads those it keeps.
        {&findTitle,
         "SELECT s.id, s.artist_key IS ?2, s.from_dump, s.lyrics_length FROM songs s "
         "WHERE s.title_key = ?1"},
        {&findArtist,
         "SELECT s.id, s.title, s.artist FROM songs s WHERE s.artist_key = ?1 AND "
         "s.artist_key <> '' ORDER BY s.title_key, s.title, s.artist, s.id LIMIT ?2"},
        // A key's start is a range of its index, read in index order up to the scan's end; the
        // caller orders what it finds. ?1-?2 and ?3-?4 are the title's and the artist's ranges;
        // an end left NULL is none, as SQLite sorts every text before every blob.
        {&findTitleStart,
         "SELECT s.id, length(s.title_key), length(s.artist_key), s.from_dump, s.lyrics_length "
         "FROM songs s "
         "WHERE s.artist_key = ?3 AND s.title_key >= ?1 AND s.title_key < coalesce(?2, x'') "
         "ORDER BY s.title_key LIMIT ?5"},
        {&findArtistStart,
         "SELECT s.id, length(s.title_key), length(s.artist_key), s.from_dump, s.lyrics_length "
         "FROM songs s "
         "WHERE s.title_key = ?1 AND s.artist_key >= ?3 AND s.artist_key < coalesce(?4, x'') "
         "ORDER BY s.artist_key LIMIT ?5"},
        // Both cut: the titles' range bounds the scan, and the artists' filters it.
        {&findKeyStarts,
         "SELECT id, length(title_key), length(artist_key), from_dump, lyrics_length FROM "
         "(SELECT s.id, s.title_key, s.artist_key, s.from_dump, s.lyrics_length FROM songs s "
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

  // A dump's keys are kept aside as its songs go in, so that IndexDump reads them back from a
  // table a few bytes a row wide rather than from the songs' rows with their lyrics. Temporary:
  // the connection's own, gone with it; a rolled back import drops it, and a statement prepared
  // on it finds it again when it is made again.
  int PrepareDump(sqlite3* db) {
    std::string ignored;  // the caller reports the connection's error
    int code = Exec(db,
                    "CREATE TEMP TABLE IF NOT EXISTS dump_keys(id INTEGER PRIMARY KEY, "
                    "title_key TEXT NOT NULL, artist_key TEXT NOT NULL); "
                    "DELETE FROM temp.dump_keys",
                    ignored);
    if (code != SQLITE_OK || putDumpKeys.Get() != nullptr) return code;
    const std::pair<Statement*, const char*> dump[] = {
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
};

Store::Store(sqlite3* db) : db_(db), statements_(std::make_unique<Statements>()) {}

Store::~Store() {
  statements_.reset();  // statements before the connection they belong to
  sqlite3_close(db_);
}

std::unique_ptr<Store> Store::Open(const std::string& path, std::string& error) {
  return Connect(path, true, error);
}

std::unique_ptr<Store> Store::OpenForReading(const std::string& path, std::string& error) {
  return Connect(path, false, error);
}

std::unique_ptr<Store> Store::Connect(const std::string& path, bool writable, std::string& error) {
  error.clear();
  if (path.empty()) {
    error = "no database path";
    return nullptr;
  }
  ConfigureSqlite();
  sqlite3* db = nullptr;
  // A Store is used by one thread at a time: SQLite's own locking of it would only cost.
  const int opened = sqlite3_open_v2(
      path.c_str(), &db,
      (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
          SQLITE_OPEN_NOMUTEX,
      nullptr);
  // From here on the Store owns db, even when opening failed.
  std::unique_ptr<Store> store(new Store(db));
  if (opened != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(opened);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  // Writers take turns and wait for each other; a reader only ever waits out a checkpoint's
  // brief lock, and a page had better fail than hang.
  sqlite3_busy_timeout(db, writable ? 5000 : kReadBusyTimeoutMs);
  // WAL with NORMAL sync: readers never block the scan, and a crash can lose at most the last
  // commits of an index that the next scan rebuilds anyway. The mode is kept in the file, so a
  // reader finds it set.
  if (writable && Exec(db,
                       "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                       "PRAGMA foreign_keys = ON",
                       error) != SQLITE_OK) {
    return nullptr;
  }

  if (!writable && Exec(db, kReaderPragmas, error) != SQLITE_OK) return nullptr;

  int version = -1;
  {
    Statement pragma;
    if (pragma.Prepare(db, "PRAGMA user_version") != SQLITE_OK) {
      error = sqlite3_errmsg(db);
      return nullptr;
    }
    Run run(pragma);
    const int code = run.Step();
    if (code != SQLITE_ROW) {
      error = sqlite3_errmsg(db);
      return nullptr;
    }
    version = static_cast<int>(run.Int(0));
  }
  if (version < kSchemaVersion && writable) {
    // Another process may be creating it at the same moment: take the write lock, then look again.
    if (Exec(db, "BEGIN IMMEDIATE", error) != SQLITE_OK) return nullptr;
    Statement pragma;
    if (pragma.Prepare(db, "PRAGMA user_version") == SQLITE_OK) {
      Run run(pragma);
      if (run.Step() == SQLITE_ROW) version = static_cast<int>(run.Int(0));
    }
    if (version < kSchemaVersion) {
      // An older server's index only mirrors the library: it goes, and the scan fills its
      // successor from the files again.
      const std::string create = DropSchema(db) + kSchema +
                                 "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
      if (Exec(db, create.c_str(), error) != SQLITE_OK) {
        std::string ignored;
        Exec(db, "ROLLBACK", ignored);
        return nullptr;
      }
      version = kSchemaVersion;
    }
    if (Exec(db, "COMMIT", error) != SQLITE_OK) return nullptr;
  }
  if (version != kSchemaVersion) {
    error =
        version < kSchemaVersion
            ? "index " + path + " is not ready yet (schema version " + std::to_string(version) + ")"
            : "index " + path + " has schema version " + std::to_string(version) +
                  ", made by a newer server than this one (" + std::to_string(kSchemaVersion) + ")";
    return nullptr;
  }

  if (store->statements_->Prepare(db) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  return store;
}

bool Store::Check(int code, const char* what) {
  if (Ok(code)) return true;
  lastError_ = std::string(what) + ": " + sqlite3_errmsg(db_);
  std::fprintf(stderr, "index: %s\n", lastError_.c_str());
  return false;
}

bool Store::Begin() {
  if (sqlite3_get_autocommit(db_) == 0) return true;
  Run run(statements_->begin);
  return Check(run.Step(), "begin");
}

bool Store::BeginRead() {
  if (sqlite3_get_autocommit(db_) == 0) return true;
  Run run(statements_->beginRead);
  return Check(run.Step(), "begin reading");
}

void Store::EndRead() {
  if (sqlite3_get_autocommit(db_) != 0) return;
  Run run(statements_->commit);
  Check(run.Step(), "end reading");
}

bool Store::Commit() {
  if (sqlite3_get_autocommit(db_) != 0) return true;
  bool committed = RestoreSongIndexes();
  if (committed) {
    Run run(statements_->commit);
    committed = Check(run.Step(), "commit");
  }
  if (!committed && sqlite3_get_autocommit(db_) == 0) {
    Run run(statements_->rollback);
    Check(run.Step(), "rollback");
  }
  droppedIndexes_.clear();
  return committed;
}

std::optional<FileStamp> Store::Stamp(const std::string& path) {
  Run run(statements_->stamp);
  const int code = run.Bind(1, path).Step();
  if (code != SQLITE_ROW) {
    Check(code, "stamp");
    return std::nullopt;
  }
  return FileStamp{run.Int(0), run.Int(1)};
}

std::vector<std::string> Store::Paths() {
  std::vector<std::string> paths;
  Run run(statements_->paths);
  int code = SQLITE_OK;
  while ((code = run.Step()) == SQLITE_ROW) paths.push_back(run.Text(0));
  Check(code, "paths");
  return paths;
}

bool Store::PutFile(const std::string& path, FileStamp stamp, const std::vector<Song>& songs) {
  // A savepoint keeps a file all-or-nothing, inside a batch or on its own.
  {
    Run run(statements_->savepoint);
    if (!Check(run.Step(), "put file")) return false;
  }
  bool ok = false;
  {
    Run run(statements_->putFile);
    ok = Check(run.Bind(1, path).Bind(2, stamp.size).Bind(3, stamp.mtimeNs).Step(), "put file");
  }
  if (ok) {
    Run run(statements_->deleteSongs);
    ok = Check(run.Bind(1, path).Step(), "put file");
  }
  for (const Song& song : songs) {
    if (!ok) break;
    const std::string titleKey = MatchKey(song.title);
    const std::string artistKey = MatchKey(song.artist);
    Run run(statements_->putSong);
    ok = Check(BindSong(run, path, song, titleKey, artistKey).Step(), "put song");
  }
  if (!ok) {
    Run run(statements_->rollbackTo);
    Check(run.Step(), "put file");
  }
  Run run(statements_->release);
  return Check(run.Step(), "put file") && ok;
}

bool Store::RemoveFile(const std::string& path) {
  {
    Run run(statements_->deleteSongs);
    if (!Check(run.Bind(1, path).Step(), "remove file")) return false;
  }
  Run run(statements_->deleteFile);
  return Check(run.Bind(1, path).Step(), "remove file");
}

bool Store::ReplaceDump(const std::string& source, FileStamp stamp) {
  {
    Run run(statements_->deleteDumpSongs);
    if (!Check(run.Step(), "replace dump")) return false;
  }
  {
    Run run(statements_->deleteDumps);
    if (!Check(run.Step(), "replace dump")) return false;
  }
  {
    Run run(statements_->putDump);
    if (!Check(run.Bind(1, source).Bind(2, stamp.size).Bind(3, stamp.mtimeNs).Step(),
               "replace dump"))
      return false;
  }
  return Check(statements_->PrepareDump(db_), "replace dump") && DropSongIndexes();
}

bool Store::DropSongIndexes() {
  std::vector<std::string> names;
  {
    Run run(statements_->songIndexes);
    int code = SQLITE_OK;
    while ((code = run.Step()) == SQLITE_ROW) {
      names.push_back(run.Text(0));
      droppedIndexes_.push_back(run.Text(1));
    }
    if (!Check(code, "drop song indexes")) return false;
  }
  // The names are the schema's own, never a caller's.
  std::string ignored;  // Check reports it
  for (const std::string& name : names) {
    const std::string drop = "DROP INDEX \"" + name + "\"";
    if (!Check(Exec(db_, drop.c_str(), ignored), "drop song indexes")) return false;
  }
  return true;
}

bool Store::RestoreSongIndexes() {
  // Each built by one sort of every row: far cheaper than a million inserts at random places in
  // indexes larger than the cache.
  std::string ignored;  // Check reports it
  while (!droppedIndexes_.empty()) {
    if (!Check(Exec(db_, droppedIndexes_.back().c_str(), ignored), "restore song indexes"))
      return false;
    droppedIndexes_.pop_back();
  }
  return true;
}

bool Store::InsertDumpSong(const std::string& source, const Song& song, const std::string& titleKey,
                           const std::string& artistKey) {
  Run run(statements_->putDumpSong);
  return Check(BindSong(run, source, song, titleKey, artistKey).Step(), "put dump song");
}

bool Store::PutDumpSong(const std::string& source, const Song& song) {
  const std::string titleKey = MatchKey(song.title);
  const std::string artistKey = MatchKey(song.artist);
  if (!InsertDumpSong(source, song, titleKey, artistKey)) return false;
  Run run(statements_->putDumpKeys);
  return Check(run.Bind(1, std::int64_t{sqlite3_last_insert_rowid(db_)})
                   .Bind(2, titleKey)
                   .Bind(3, artistKey)
                   .Step(),
               "put dump song");
}

bool Store::IndexDump() {
  if (!RestoreSongIndexes()) return false;
  {
    Run run(statements_->indexDumpSongs);
    if (!Check(run.Step(), "index dump")) return false;
  }
  {
    Run run(statements_->indexDumpNames);
    if (!Check(run.Step(), "index dump")) return false;
  }
  std::string ignored;  // Check reports it
  return Check(Exec(db_, "DELETE FROM temp.dump_keys", ignored), "index dump");
}

bool Store::PutUpstreamSong(const Song& song) {
  const std::string source(kUpstreamSource);
  {
    Run run(statements_->putUpstream);
    if (!Check(run.Bind(1, source).Step(), "put upstream song")) return false;
  }
  const std::string titleKey = MatchKey(song.title);
  const std::string artistKey = MatchKey(song.artist);
  {
    Run run(statements_->deleteUpstreamSong);
    if (!Check(run.Bind(1, source).Bind(2, titleKey).Bind(3, artistKey).Bind(4, song.album).Step(),
               "put upstream song"))
      return false;
  }
  // Not PutDumpSong: its keys go to a table that exists only while a dump is imported.
  if (!InsertDumpSong(source, song, titleKey, artistKey)) return false;
  const std::int64_t id = sqlite3_last_insert_rowid(db_);
  for (Statement* index : {&statements_->indexSongText, &statements_->indexSongNames}) {
    Run run(*index);
    if (!Check(run.Bind(1, id).Step(), "put upstream song")) return false;
  }
  return true;
}

void Store::Rollback() {
  droppedIndexes_.clear();
  if (sqlite3_get_autocommit(db_) != 0) return;
  Run run(statements_->rollback);
  Check(run.Step(), "rollback");
}

bool Store::Checkpoint() {
  Run run(statements_->checkpoint);
  const int code = run.Step();
  // Its row says whether readers kept part of the log; either way it is not an error.
  return Check(code, "checkpoint") && (code != SQLITE_ROW || run.Int(0) == 0);
}

bool Store::SetCacheKiB(std::int64_t kibibytes) {
  const std::string pragma = "PRAGMA cache_size = -" + std::to_string(kibibytes);
  std::string error;
  if (Exec(db_, pragma.c_str(), error) == SQLITE_OK) return true;
  return Check(SQLITE_ERROR, "cache size");
}

std::int64_t Store::SongCount() {
  Run run(statements_->songCount);
  const int code = run.Step();
  if (code != SQLITE_ROW) {
    Check(code, "song count");
    return 0;
  }
  return run.Int(0);
}

bool Store::OptimizeSearch() {
  Run songs(statements_->optimizeSongs);
  if (!Check(songs.Step(), "optimize search")) return false;
  Run names(statements_->optimizeNames);
  return Check(names.Step(), "optimize search");
}

namespace {

// Every row of a song query; a failed step is handed to report and leaves no rows.
template <class Report>
std::vector<SongRow> Collect(Run& run, Report report) {
  std::vector<SongRow> rows;
  int code = SQLITE_OK;
  while ((code = run.Step()) == SQLITE_ROW) rows.push_back(ReadSong(run));
  if (!report(code)) rows.clear();
  return rows;
}

}  // namespace

std::vector<SongRow> Store::FindExact(const std::string& titleKey, const std::string& artistKey,
                                      int limit) {
  if (limit <= 0) return {};
  Run run(statements_->findExact);
  run.Bind(1, titleKey).Bind(2, artistKey).Bind(3, std::int64_t{limit});
  return Collect(run, [this](int code) { return Check(code, "find exact"); });
}

std::vector<SongRow> Store::FindTitle(const std::string& titleKey, int limit,
                                      const std::string& preferredArtistKey) {
  if (limit <= 0) return {};
  struct Version {
    std::int64_t id;
    bool preferred;
    bool fromDump;
    std::int64_t length;
  };
  std::vector<Version> versions;
  {
    Run run(statements_->findTitle);
    run.Bind(1, titleKey);
    // No artist key is NULL, so without a preference none is preferred.
    if (!preferredArtistKey.empty()) run.Bind(2, preferredArtistKey);
    int code = SQLITE_OK;
    while ((code = run.Step()) == SQLITE_ROW)
      versions.push_back({.id = run.Int(0),
                          .preferred = run.Int(1) != 0,
                          .fromDump = run.Int(2) != 0,
                          .length = run.Int(3)});
    if (!Check(code, "find title")) return {};
  }
  // Sorted here rather than by SQLite, which would build a temporary table for every lookup.
  const auto kept = std::min(versions.size(), static_cast<std::size_t>(limit));
  std::partial_sort(versions.begin(), versions.begin() + static_cast<std::ptrdiff_t>(kept),
                    versions.end(), [](const Version& a, const Version& b) {
                      return std::tie(b.preferred, a.fromDump, b.length, a.id) <
                             std::tie(a.preferred, b.fromDump, a.length, b.id);
                    });
  std::vector<std::int64_t> ids(kept);
  for (std::size_t i = 0; i < kept; ++i) ids[i] = versions[i].id;
  return SongsById(ids);
}

namespace {

// The least string above every string that begins with start, comparing bytes as SQLite
// compares keys; none when start holds only 0xFF bytes (or nothing).
std::optional<std::string> KeyStartEnd(std::string start) {
  while (!start.empty() && static_cast<unsigned char>(start.back()) == 0xFF) start.pop_back();
  if (start.empty()) return std::nullopt;
  start.back() = static_cast<char>(static_cast<unsigned char>(start.back()) + 1);
  return start;
}

}  // namespace

std::vector<SongRow> Store::FindKeys(const std::string& titleKey, KeyPart title,
                                     const std::string& artistKey, KeyPart artist, int limit) {
  if (limit <= 0 || (title == KeyPart::Start && titleKey.empty())) return {};
  if (title == KeyPart::Whole && artist == KeyPart::Whole)
    return FindExact(titleKey, artistKey, limit);
  const auto titleEnd = KeyStartEnd(titleKey);
  const auto artistEnd = KeyStartEnd(artistKey);
  struct Completion {
    std::int64_t id;
    std::int64_t titleLength;
    std::int64_t artistLength;
    bool fromDump;
    std::int64_t lyricsLength;
  };
  std::vector<Completion> found;
  {
    const Statement& statement = title == KeyPart::Whole    ? statements_->findArtistStart
                                 : artist == KeyPart::Whole ? statements_->findTitleStart
                                                            : statements_->findKeyStarts;
    Run run(statement);
    run.Bind(1, titleKey).Bind(3, artistKey).Bind(5, std::int64_t{kKeyStartScan});
    if (title == KeyPart::Start && titleEnd) run.Bind(2, *titleEnd);
    if (artist == KeyPart::Start && artistEnd) run.Bind(4, *artistEnd);
    int code = SQLITE_OK;
    while ((code = run.Step()) == SQLITE_ROW) {
      found.push_back({.id = run.Int(0),
                       .titleLength = run.Int(1),
                       .artistLength = run.Int(2),
                       .fromDump = run.Int(3) != 0,
                       .lyricsLength = run.Int(4)});
    }
    if (!Check(code, "find keys")) return {};
  }
  const auto kept = std::min(found.size(), static_cast<std::size_t>(limit));
  std::partial_sort(
      found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kept), found.end(),
      [](const Completion& a, const Completion& b) {
        return std::tie(a.titleLength, a.artistLength, a.fromDump, b.lyricsLength, a.id) <
               std::tie(b.titleLength, b.artistLength, b.fromDump, a.lyricsLength, b.id);
      });
  std::vector<std::int64_t> ids(kept);
  for (std::size_t i = 0; i < kept; ++i) ids[i] = found[i].id;
  return SongsById(ids);
}

std::vector<SongRow> Store::FindArtist(const std::string& artistKey, int limit) {
  if (limit <= 0) return {};
  Run run(statements_->findArtist);
  run.Bind(1, artistKey).Bind(2, std::int64_t{limit});
  std::vector<SongRow> rows;
  int code = SQLITE_OK;
  while ((code = run.Step()) == SQLITE_ROW) {
    SongRow row;
    row.id = run.Int(0);
    row.song.title = run.Text(1);
    row.song.artist = run.Text(2);
    rows.push_back(std::move(row));
  }
  if (!Check(code, "find artist")) rows.clear();
  return rows;
}

std::vector<SongRow> Store::Search(const std::string& text, int limit, Words words, Within within) {
  const std::string query = SearchQuery(text, words);
  if (query.empty() || limit <= 0) return {};
  std::vector<std::int64_t> ids;
  {
    Run run(within == Within::Names ? statements_->searchNames : statements_->search);
    run.Bind(1, query).Bind(2, std::int64_t{limit});
    int code = SQLITE_OK;
    while ((code = run.Step()) == SQLITE_ROW) ids.push_back(run.Int(0));
    if (!Check(code, "search")) return {};
  }
  return SongsById(ids);
}

std::vector<SongRow> Store::SongsById(const std::vector<std::int64_t>& ids) {
  std::vector<SongRow> rows;
  rows.reserve(ids.size());
  for (const std::int64_t id : ids) {
    if (auto row = SongById(id)) rows.push_back(std::move(*row));
  }
  return rows;
}

std::string Store::SyncedLyrics(std::int64_t id) {
  Run run(statements_->syncedById);
  const int code = run.Bind(1, id).Step();
  if (code != SQLITE_ROW) {
    Check(code, "synced lyrics");
    return {};
  }
  return run.Text(0);
}

std::optional<SongRow> Store::SongById(std::int64_t id) {
  Run run(statements_->songById);
  const int code = run.Bind(1, id).Step();
  if (code != SQLITE_ROW) {
    Check(code, "song by id");
    return std::nullopt;
  }
  return ReadSong(run);
}

bool Store::RecordLookup(const Lookup& lookup) {
  // The insert and the trim as one commit, unless the caller's transaction already holds them.
  const bool own = sqlite3_get_autocommit(db_) != 0;
  if (own && !Begin()) return false;
  bool ok = false;
  {
    Run run(statements_->putLookup);
    run.Bind(1, lookup.at).Bind(2, lookup.title).Bind(3, lookup.artist);
    if (lookup.songId) {
      run.Bind(4, *lookup.songId);
    } else {
      run.BindNull(4);
    }
    if (Check(run.Step(), "record lookup")) {
      Run trim(statements_->trimLookups);
      ok = Check(trim.Bind(1, std::int64_t{kKeptLookups}).Step(), "trim lookups");
    }
  }
  if (own) ok = Commit() && ok;
  return ok;
}

std::vector<Lookup> Store::RecentLookups(int limit) {
  std::vector<Lookup> lookups;
  if (limit <= 0) return lookups;
  Run run(statements_->recentLookups);
  run.Bind(1, std::int64_t{limit});
  int code = SQLITE_OK;
  while ((code = run.Step()) == SQLITE_ROW) {
    Lookup lookup;
    lookup.at = run.Int(0);
    lookup.title = run.Text(1);
    lookup.artist = run.Text(2);
    if (!run.IsNull(3)) lookup.songId = run.Int(3);
    lookups.push_back(std::move(lookup));
  }
  if (!Check(code, "recent lookups")) lookups.clear();
  return lookups;
}

}  // namespace talvo
