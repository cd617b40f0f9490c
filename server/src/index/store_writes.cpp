// What the index's writers do: a scan's files, a dump's import, the upstream's songs, the recent
// lookups, and the upkeep of the search indexes.
#include <sqlite3.h>

#include <string>

#include "index/song_columns.h"
#include "index/sql.h"
#include "index/statements.h"
#include "index/store.h"
#include "text/text.h"

namespace talvo {

bool Store::PutFile(const std::string& path, FileStamp stamp, const std::vector<Song>& songs) {
  // A savepoint keeps a file all-or-nothing, inside a batch or on its own.
  {
    sql::Run run(statements_->savepoint);
    if (!Check(run.Step(), "put file")) return false;
  }
  bool ok = false;
  {
    sql::Run run(statements_->putFile);
    ok = Check(run.Bind(1, path).Bind(2, stamp.size).Bind(3, stamp.mtimeNs).Step(), "put file");
  }
  if (ok) {
    sql::Run run(statements_->deleteSongs);
    ok = Check(run.Bind(1, path).Step(), "put file");
  }
  for (const Song& song : songs) {
    if (!ok) break;
    ok = InsertSong(path, Source::Library, song, MatchKey(song.title), MatchKey(song.artist));
  }
  if (!ok) {
    sql::Run run(statements_->rollbackTo);
    Check(run.Step(), "put file");
  }
  sql::Run run(statements_->release);
  return Check(run.Step(), "put file") && ok;
}

bool Store::RemoveFile(const std::string& path) {
  {
    sql::Run run(statements_->deleteSongs);
    if (!Check(run.Bind(1, path).Step(), "remove file")) return false;
  }
  sql::Run run(statements_->deleteFile);
  return Check(run.Bind(1, path).Step(), "remove file");
}

bool Store::ReplaceDump(const std::string& source, FileStamp stamp) {
  {
    sql::Run run(statements_->deleteDumpSongs);
    if (!Check(run.Step(), "replace dump")) return false;
  }
  {
    sql::Run run(statements_->deleteDumps);
    if (!Check(run.Step(), "replace dump")) return false;
  }
  {
    sql::Run run(statements_->putDump);
    if (!Check(run.Bind(1, source).Bind(2, stamp.size).Bind(3, stamp.mtimeNs).Step(),
               "replace dump"))
      return false;
  }
  return Check(statements_->PrepareDump(db_), "replace dump") && DropSongIndexes();
}

bool Store::DropSongIndexes() {
  std::vector<std::string> names;
  {
    sql::Run run(statements_->songIndexes);
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
    if (!Check(sql::Exec(db_, drop.c_str(), ignored), "drop song indexes")) return false;
  }
  return true;
}

bool Store::RestoreSongIndexes() {
  // Each built by one sort of every row: far cheaper than a million inserts at random places in
  // indexes larger than the cache.
  std::string ignored;  // Check reports it
  while (!droppedIndexes_.empty()) {
    if (!Check(sql::Exec(db_, droppedIndexes_.back().c_str(), ignored), "restore song indexes"))
      return false;
    droppedIndexes_.pop_back();
  }
  return true;
}

bool Store::InsertSong(const std::string& path, Source source, const Song& song,
                       const std::string& titleKey, const std::string& artistKey) {
  sql::Run run(statements_->putSong);
  run.Bind(1, path).Bind(2, static_cast<std::int64_t>(source)).Bind(3, titleKey).Bind(4, artistKey);
  song_columns::Bind(run, 5, song);
  return Check(run.Step(), "put song");
}

bool Store::PutDumpSong(const std::string& source, const Song& song) {
  const std::string titleKey = MatchKey(song.title);
  const std::string artistKey = MatchKey(song.artist);
  if (!InsertSong(source, Source::Dump, song, titleKey, artistKey)) return false;
  sql::Run run(statements_->putDumpKeys);
  return Check(run.Bind(1, std::int64_t{sqlite3_last_insert_rowid(db_)})
                   .Bind(2, titleKey)
                   .Bind(3, artistKey)
                   .Step(),
               "put dump song");
}

bool Store::IndexDump() {
  if (!RestoreSongIndexes()) return false;
  {
    sql::Run run(statements_->indexDumpSongs);
    if (!Check(run.Step(), "index dump")) return false;
  }
  {
    sql::Run run(statements_->indexDumpNames);
    if (!Check(run.Step(), "index dump")) return false;
  }
  std::string ignored;  // Check reports it
  return Check(sql::Exec(db_, "DELETE FROM temp.dump_keys", ignored), "index dump");
}

bool Store::PutUpstreamSong(const Song& song) {
  const std::string source(kUpstreamSource);
  {
    sql::Run run(statements_->putUpstream);
    if (!Check(run.Bind(1, source).Step(), "put upstream song")) return false;
  }
  const std::string titleKey = MatchKey(song.title);
  const std::string artistKey = MatchKey(song.artist);
  {
    sql::Run run(statements_->deleteUpstreamSong);
    if (!Check(run.Bind(1, source).Bind(2, titleKey).Bind(3, artistKey).Bind(4, song.album).Step(),
               "put upstream song"))
      return false;
  }
  // Not PutDumpSong: its keys go to a table that exists only while a dump is imported.
  if (!InsertSong(source, Source::Upstream, song, titleKey, artistKey)) return false;
  const std::int64_t id = sqlite3_last_insert_rowid(db_);
  for (sql::Statement* index : {&statements_->indexSongText, &statements_->indexSongNames}) {
    sql::Run run(*index);
    if (!Check(run.Bind(1, id).Step(), "put upstream song")) return false;
  }
  return true;
}

bool Store::OptimizeSearch() {
  sql::Run songs(statements_->optimizeSongs);
  if (!Check(songs.Step(), "optimize search")) return false;
  sql::Run names(statements_->optimizeNames);
  return Check(names.Step(), "optimize search");
}

bool Store::RecordLookup(const Visit& lookup) {
  // The insert and the trim as one commit, unless the caller's transaction already holds them.
  const bool own = sqlite3_get_autocommit(db_) != 0;
  if (own && !Begin()) return false;
  bool ok = false;
  {
    sql::Run run(statements_->putLookup);
    run.Bind(1, lookup.at).Bind(2, lookup.title).Bind(3, lookup.artist);
    if (lookup.songId) {
      run.Bind(4, *lookup.songId);
    } else {
      run.BindNull(4);
    }
    if (Check(run.Step(), "record lookup")) {
      sql::Run trim(statements_->trimLookups);
      ok = Check(trim.Bind(1, std::int64_t{limits::kKeptLookups}).Step(), "trim lookups");
    }
  }
  if (own) ok = Commit() && ok;
  return ok;
}

}  // namespace talvo
