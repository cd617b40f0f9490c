#include "index/store.h"

#include <sqlite3.h>

#include <cstdio>
#include <utility>

#include "index/schema.h"
#include "index/sql.h"
#include "index/statements.h"

namespace talvo {
namespace {

// A page's sorts are small: in memory, not in a temporary file.
constexpr const char* kReaderPragmas = "PRAGMA temp_store = MEMORY";

// Once, before the first connection: SQLite counts every allocation under one process-wide lock
// unless told not to, and pages on several threads would queue on it.
void ConfigureSqlite() {
  static const int configured = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return sqlite3_initialize();
  }();
  static_cast<void>(configured);
}

}  // namespace

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
  sqlite3_busy_timeout(
      db,
      static_cast<int>((writable ? limits::kWriteBusyTimeout : limits::kReadBusyTimeout).count()));
  // WAL with NORMAL sync: readers never block the scan, and a crash can lose at most the last
  // commits of an index that the next scan rebuilds anyway. The mode is kept in the file, so a
  // reader finds it set.
  if (writable && sql::Exec(db,
                            "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                            "PRAGMA foreign_keys = ON",
                            error) != SQLITE_OK) {
    return nullptr;
  }

  if (!writable && sql::Exec(db, kReaderPragmas, error) != SQLITE_OK) return nullptr;

  if (!schema::Ready(db, writable, path, error)) return nullptr;

  if (store->statements_->Prepare(db) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  return store;
}

bool Store::Check(int code, const char* what) {
  if (sql::Ok(code)) return true;
  lastError_ = std::string(what) + ": " + sqlite3_errmsg(db_);
  std::fprintf(stderr, "index: %s\n", lastError_.c_str());
  return false;
}

bool Store::Begin() {
  if (sqlite3_get_autocommit(db_) == 0) return true;
  sql::Run run(statements_->begin);
  return Check(run.Step(), "begin");
}

bool Store::BeginRead() {
  if (sqlite3_get_autocommit(db_) == 0) return true;
  sql::Run run(statements_->beginRead);
  return Check(run.Step(), "begin reading");
}

void Store::EndRead() {
  if (sqlite3_get_autocommit(db_) != 0) return;
  sql::Run run(statements_->commit);
  Check(run.Step(), "end reading");
}

bool Store::Commit() {
  if (sqlite3_get_autocommit(db_) != 0) return true;
  bool committed = RestoreSongIndexes();
  if (committed) {
    sql::Run run(statements_->commit);
    committed = Check(run.Step(), "commit");
  }
  if (!committed && sqlite3_get_autocommit(db_) == 0) {
    sql::Run run(statements_->rollback);
    Check(run.Step(), "rollback");
  }
  droppedIndexes_.clear();
  return committed;
}

void Store::Rollback() {
  droppedIndexes_.clear();
  if (sqlite3_get_autocommit(db_) != 0) return;
  sql::Run run(statements_->rollback);
  Check(run.Step(), "rollback");
}

bool Store::Checkpoint() {
  sql::Run run(statements_->checkpoint);
  const int code = run.Step();
  // Its row says whether readers kept part of the log; either way it is not an error.
  return Check(code, "checkpoint") && (code != SQLITE_ROW || run.Int(0) == 0);
}

bool Store::SetCacheKiB(std::int64_t kibibytes) {
  const std::string pragma = "PRAGMA cache_size = -" + std::to_string(kibibytes);
  std::string error;
  if (sql::Exec(db_, pragma.c_str(), error) == SQLITE_OK) return true;
  return Check(SQLITE_ERROR, "cache size");
}

}  // namespace talvo
