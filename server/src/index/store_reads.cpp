// What pages and scans read: songs by their keys, by words, by id; stamps, counts, lookups.
#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "index/song_columns.h"
#include "index/sql.h"
#include "index/statements.h"
#include "index/store.h"
#include "text/text.h"

namespace talvo {
namespace {

// Free text as an FTS5 query that can only ever mean "all these words" (the last one a prefix)
// or "any of these words": each word a quoted string, so AND, NEAR, col:, * and quotes are just
// text. Empty when there is no word.
std::string SearchQuery(std::string_view text, Store::Words match) {
  const std::string key = MatchKey(text);
  std::string query;
  std::size_t words = 0;
  std::size_t start = 0;
  while (start < key.size() && words < limits::kMaxSearchWords) {
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

}  // namespace

std::optional<FileStamp> Store::Stamp(const std::string& path) {
  sql::Run run(statements_->stamp);
  const int code = run.Bind(1, path).Step();
  if (code != SQLITE_ROW) {
    Check(code, "stamp");
    return std::nullopt;
  }
  return FileStamp{run.Int(0), run.Int(1)};
}

std::vector<std::string> Store::Paths() {
  std::vector<std::string> paths;
  sql::Run run(statements_->paths);
  int code = SQLITE_OK;
  while ((code = run.Step()) == SQLITE_ROW) paths.push_back(run.Text(0));
  Check(code, "paths");
  return paths;
}

std::int64_t Store::SongCount() {
  sql::Run run(statements_->songCount);
  const int code = run.Step();
  if (code != SQLITE_ROW) {
    Check(code, "song count");
    return 0;
  }
  return run.Int(0);
}

namespace {

// A row as the song queries select it: id, path, source, then the song's light columns.
SongRow ReadSong(const sql::Run& run) {
  SongRow row;
  row.id = run.Int(0);
  row.path = run.Text(1);
  row.source = static_cast<Source>(run.Int(2));
  song_columns::ReadInto(run, 3, song_columns::Read::Light, row.song);
  return row;
}

// Every row of a song query; a failed step is handed to report and leaves no rows.
template <class Report>
std::vector<SongRow> Collect(sql::Run& run, Report report) {
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
  sql::Run run(statements_->findExact);
  run.Bind(1, titleKey).Bind(2, artistKey).Bind(3, std::int64_t{limit});
  return Collect(run, [this](int code) { return Check(code, "find exact"); });
}

std::vector<SongRow> Store::FindTitle(const std::string& titleKey, int limit,
                                      const std::string& preferredArtistKey) {
  if (limit <= 0) return {};
  struct Version {
    std::int64_t id;
    bool preferred;
    std::int64_t source;
    std::int64_t length;
  };
  std::vector<Version> versions;
  {
    sql::Run run(statements_->findTitle);
    run.Bind(1, titleKey);
    // No artist key is NULL, so without a preference none is preferred.
    if (!preferredArtistKey.empty()) run.Bind(2, preferredArtistKey);
    int code = SQLITE_OK;
    while ((code = run.Step()) == SQLITE_ROW)
      versions.push_back({.id = run.Int(0),
                          .preferred = run.Int(1) != 0,
                          .source = run.Int(2),
                          .length = run.Int(3)});
    if (!Check(code, "find title")) return {};
  }
  // Sorted here rather than by SQLite, which would build a temporary table for every lookup.
  const auto kept = std::min(versions.size(), static_cast<std::size_t>(limit));
  std::partial_sort(versions.begin(), versions.begin() + static_cast<std::ptrdiff_t>(kept),
                    versions.end(), [](const Version& a, const Version& b) {
                      return std::tie(b.preferred, a.source, b.length, a.id) <
                             std::tie(a.preferred, b.source, a.length, b.id);
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
    std::int64_t source;
    std::int64_t lyricsLength;
  };
  std::vector<Completion> found;
  {
    const sql::Statement& statement = title == KeyPart::Whole    ? statements_->findArtistStart
                                      : artist == KeyPart::Whole ? statements_->findTitleStart
                                                                 : statements_->findKeyStarts;
    sql::Run run(statement);
    run.Bind(1, titleKey).Bind(3, artistKey).Bind(5, std::int64_t{limits::kKeyStartScan});
    if (title == KeyPart::Start && titleEnd) run.Bind(2, *titleEnd);
    if (artist == KeyPart::Start && artistEnd) run.Bind(4, *artistEnd);
    int code = SQLITE_OK;
    while ((code = run.Step()) == SQLITE_ROW) {
      found.push_back({.id = run.Int(0),
                       .titleLength = run.Int(1),
                       .artistLength = run.Int(2),
                       .source = run.Int(3),
                       .lyricsLength = run.Int(4)});
    }
    if (!Check(code, "find keys")) return {};
  }
  const auto kept = std::min(found.size(), static_cast<std::size_t>(limit));
  std::partial_sort(
      found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kept), found.end(),
      [](const Completion& a, const Completion& b) {
        return std::tie(a.titleLength, a.artistLength, a.source, b.lyricsLength, a.id) <
               std::tie(b.titleLength, b.artistLength, b.source, a.lyricsLength, b.id);
      });
  std::vector<std::int64_t> ids(kept);
  for (std::size_t i = 0; i < kept; ++i) ids[i] = found[i].id;
  return SongsById(ids);
}

std::vector<SongRow> Store::FindArtist(const std::string& artistKey, int limit) {
  if (limit <= 0) return {};
  sql::Run run(statements_->findArtist);
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
    sql::Run run(within == Within::Names ? statements_->searchNames : statements_->search);
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
  sql::Run run(statements_->syncedById);
  const int code = run.Bind(1, id).Step();
  if (code != SQLITE_ROW) {
    Check(code, "synced lyrics");
    return {};
  }
  return run.Text(0);
}

std::optional<SongRow> Store::SongById(std::int64_t id) {
  sql::Run run(statements_->songById);
  const int code = run.Bind(1, id).Step();
  if (code != SQLITE_ROW) {
    Check(code, "song by id");
    return std::nullopt;
  }
  return ReadSong(run);
}

std::vector<Visit> Store::RecentLookups(int limit) {
  std::vector<Visit> lookups;
  if (limit <= 0) return lookups;
  sql::Run run(statements_->recentLookups);
  run.Bind(1, std::int64_t{limit});
  int code = SQLITE_OK;
  while ((code = run.Step()) == SQLITE_ROW) {
    Visit lookup;
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
