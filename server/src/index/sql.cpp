#include "index/sql.h"

namespace talvo::sql {

int Exec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  const int code = sqlite3_exec(db, sql, nullptr, nullptr, &message);
  if (code != SQLITE_OK) error = message != nullptr ? message : sqlite3_errstr(code);
  sqlite3_free(message);
  return code;
}

}  // namespace talvo::sql
