// The index's tables, their search indexes and the triggers that keep them, and the version that
// names them. Inside the index only.
#pragma once

#include <sqlite3.h>

#include <string>

namespace talvo::schema {

// Bumped whenever the schema changes. The index only mirrors the library, so an index from
// another version is not migrated: an older one is emptied and the next scan fills it again (an
// imported dump must be imported again), a newer one is refused.
// 8: where a song came from is a Source, in both tables.
constexpr int kVersion = 8;

// Whether the connection's database has this schema. A writable connection creates it in an
// empty or older database; false, with error set, for a newer one or one not created yet.
bool Ready(sqlite3* db, bool writable, const std::string& path, std::string& error);

}  // namespace talvo::schema
