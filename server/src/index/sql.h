// SQLite's calls as the index uses them: statements prepared once per connection, and one use of
// one at a time, reset however it ends. Inside the index only.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <utility>

namespace talvo::sql {

inline bool Ok(int code) {
  return code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE;
}

// Runs statements that return no rows; error gets SQLite's message when one fails.
int Exec(sqlite3* db, const char* sql, std::string& error);

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

// The text of a temporary would be gone before the statement runs.
template <class Text>
concept Bindable = requires(Run& run, Text&& text) {
  run.Bind(1, std::forward<Text>(text));
};
static_assert(Bindable<const std::string&> && !Bindable<std::string>);

}  // namespace talvo::sql
