#include "sources/dump_tracks.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "text/text.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

// A track's length in seconds beyond which it is taken as unknown (a day: no recording is longer,
// and a double this size still fits milliseconds in 64 bits).
constexpr double kLongestDurationSeconds = 24.0 * 3600;

#ifdef _WIN32
// The VFS that takes names as long as SystemPath gives them; SQLite's default cuts them at
// MAX_PATH's worth of UTF-8.
constexpr const char* kVfs = "win32-longpath";
#else
constexpr const char* kVfs = nullptr;
#endif

constexpr std::array<std::string_view, 6> kTrackColumns = {
    "id", "name", "artist_name", "album_name", "duration", "last_lyrics_id"};
constexpr std::array<std::string_view, 4> kLyricsColumns = {"id", "plain_lyrics", "synced_lyrics",
                                                            "instrumental"};

// The columns Open selects, in its order.
enum Column { kName, kArtist, kAlbum, kDuration, kPlain, kSynced, kInstrumental };

// A file name as an SQLite URI's path: every byte but the unreserved ones and '/' escaped.
std::string UriPath(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += c;
    } else {
      uri += '%';
      uri += kHex[byte >> 4];
      uri += kHex[byte & 15];
    }
  }
  return uri;
}

// The dump's text as UTF-8, as every source's is: SQLite hands back whatever bytes were stored.
void AssignUtf8(std::string& to, std::string_view bytes) {
  if (IsValidUtf8(bytes)) {
    to.assign(bytes);
  } else {
    to = Utf8Repaired(bytes);
  }
}

}  // namespace

DumpTracks::~DumpTracks() {
  sqlite3_finalize(tracks_);
  sqlite3_close(db_);
}

bool DumpTracks::Open(const fs::path& database, std::string& error) {
  // Read-only and immutable: nothing is ever written, and a published file has no writer to
  // lock out, so SQLite neither locks it nor looks for a log beside it.
  std::error_code ignored;
  const fs::path absolute = fs::absolute(database, ignored);
  const std::string uri =
      UriPath(files::PathToUtf8(files::SystemPath(absolute.empty() ? database : absolute))) +
      "?mode=ro&immutable=1";
  if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, kVfs) !=
      SQLITE_OK) {
    error = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    return false;
  }
  if (!CheckSchema(error)) return false;
  sqlite3_stmt* count = nullptr;
  int code = sqlite3_prepare_v2(db_, "SELECT count(*) FROM tracks", -1, &count, nullptr);
  if (code == SQLITE_OK) code = sqlite3_step(count);
  if (code == SQLITE_ROW) total_ = static_cast<std::size_t>(sqlite3_column_int64(count, 0));
  sqlite3_finalize(count);
  if (code != SQLITE_ROW ||
      sqlite3_prepare_v2(db_,
                         "SELECT t.name, t.artist_name, t.album_name, t.duration, "
                         "l.plain_lyrics, l.synced_lyrics, l.instrumental "
                         "FROM tracks t LEFT JOIN lyrics l ON l.id = t.last_lyrics_id",
                         -1, &tracks_, nullptr) != SQLITE_OK) {
    error = Damaged();
    return false;
  }
  return true;
}

// Whether the tables and columns the import reads are there; error names the first missing.
bool DumpTracks::CheckSchema(std::string& error) {
  struct Table {
    std::string_view name;
    const std::string_view* columns;
    std::size_t count;
  };
  for (const Table& table : {Table{"tracks", kTrackColumns.data(), kTrackColumns.size()},
                             Table{"lyrics", kLyricsColumns.data(), kLyricsColumns.size()}}) {
    std::vector<std::string> have;
    bool idIsKey = false;
    sqlite3_stmt* info = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name, pk FROM pragma_table_info(?1)", -1, &info, nullptr) !=
        SQLITE_OK) {
      error = NotDatabase();
      return false;
    }
    // Not copied: the name is a constant.
    sqlite3_bind_text(info, 1, table.name.data(), static_cast<int>(table.name.size()), nullptr);
    int code = SQLITE_OK;
    while ((code = sqlite3_step(info)) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info, 0));
      have.emplace_back(name != nullptr ? name : "");
      if (have.back() == "id" && sqlite3_column_int(info, 1) != 0) idIsKey = true;
    }
    sqlite3_finalize(info);
    if (code != SQLITE_DONE) {
      error = NotDatabase();
      return false;
    }
    if (have.empty()) {
      error = "not an LRCLIB dump: it has no table " + std::string(table.name);
      return false;
    }
    for (std::size_t i = 0; i < table.count; ++i) {
      if (std::find(have.begin(), have.end(), table.columns[i]) == have.end()) {
        error = "not an LRCLIB dump: its table " + std::string(table.name) + " has no column " +
                std::string(table.columns[i]);
        return false;
      }
    }
    // Each track looks its lyrics up by id: without a key that is a scan of them all.
    if (table.name == "lyrics" && !idIsKey) {
      error = "not an LRCLIB dump: lyrics.id is not the table's key";
      return false;
    }
  }
  return true;
}

DumpTracks::Track DumpTracks::Next(Song& song) {
  const int code = sqlite3_step(tracks_);
  if (code == SQLITE_DONE) return Track::kEnd;
  if (code != SQLITE_ROW) return Track::kDamaged;
  ++read_;
  const auto text = [this](int column) -> std::string_view {
    const unsigned char* bytes = sqlite3_column_text(tracks_, column);
    const int size = sqlite3_column_bytes(tracks_, column);
    if (bytes == nullptr || size <= 0) return {};
    return {reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size)};
  };
  const std::string_view title = text(kName);
  if (title.find_first_not_of(" \t") == std::string_view::npos) return Track::kSkipped;
  std::string_view plain = text(kPlain);
  const std::string_view synced = text(kSynced);
  // Repairing only makes text longer: what is over the limit before it is skipped uncopied.
  if (plain.size() > kMaxLyricsBytes || synced.size() > kMaxLyricsBytes) return Track::kSkipped;
  AssignUtf8(song.title, title);
  AssignUtf8(song.artist, text(kArtist));
  AssignUtf8(song.album, text(kAlbum));
  song.instrumental = sqlite3_column_int64(tracks_, kInstrumental) != 0;
  AssignUtf8(song.synced, synced);
  if (!HasTimestamps(song.synced)) song.synced.clear();
  if (!IsValidUtf8(plain)) {
    plain_ = Utf8Repaired(plain);
    plain = plain_;
  }
  if (plain.find_first_not_of(" \t\r\n") != std::string_view::npos) {
    song.lyrics = TidyLyrics(plain);
  } else if (!song.synced.empty()) {
    song.lyrics = ParseLrc(song.synced).lyrics;
  } else {
    song.lyrics.clear();
  }
  if (song.lyrics.empty() && song.synced.empty() && !song.instrumental)
    return Track::kWithoutLyrics;
  const double seconds = sqlite3_column_double(tracks_, kDuration);
  song.durationMs = std::isfinite(seconds) && seconds > 0 && seconds < kLongestDurationSeconds
                        ? std::llround(seconds * 1000)
                        : 0;
  return Track::kSong;
}

std::string DumpTracks::Damaged() const {
  return "the dump is damaged after " + std::to_string(read_) + " tracks: " + sqlite3_errmsg(db_);
}

std::string DumpTracks::NotDatabase() const {
  return std::string("not an SQLite database: ") + sqlite3_errmsg(db_);
}

}  // namespace talvo
