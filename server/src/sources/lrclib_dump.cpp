#include "sources/lrclib_dump.h"

#include <sqlite3.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "text/lyrics.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

// How often a long import looks at a stop request and reports its progress: often enough for a
// prompt Ctrl-C, rarely enough to cost nothing.
constexpr std::size_t kCheckEveryTracks = 1024;
// The writer's page cache during an import: bounded, so memory stays flat however large the
// dump. Anything from SQLite's default 2 MiB to 256 MiB changed an import's time by under 5%
// (the pages it evicts are read back from the log, in the system's cache).
constexpr std::int64_t kImportCacheKiB = std::int64_t{16} * 1024;
// Gzip unpacking goes through a buffer this size: big enough that the system calls are few.
constexpr std::size_t kUnpackChunk = std::size_t{1} << 20;
// A track's length in seconds beyond which it is taken as unknown (a day: no recording is longer,
// and a double this size still fits milliseconds in 64 bits).
constexpr double kLongestDurationSeconds = 24.0 * 3600;

// The SQLite file header: where its fields are, and what it starts with.
constexpr std::size_t kHeaderBytes = 100;
constexpr std::string_view kSqliteMagic{"SQLite format 3\0", 16};
constexpr std::size_t kPageSizeAt = 16;
constexpr std::size_t kChangeCounterAt = 24;
constexpr std::size_t kPageCountAt = 28;
constexpr std::size_t kValidForAt = 92;
constexpr std::array<unsigned char, 2> kGzipMagic = {0x1f, 0x8b};

constexpr std::array<std::string_view, 6> kTrackColumns = {
    "id", "name", "artist_name", "album_name", "duration", "last_lyrics_id"};
constexpr std::array<std::string_view, 4> kLyricsColumns = {"id", "plain_lyrics", "synced_lyrics",
                                                            "instrumental"};

std::uint32_t BigEndian(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::string SystemError(int code) {
  return std::error_code(code, std::generic_category()).message();
}

// The file's first bytes: fewer when it is shorter. False with error when it cannot be read.
bool ReadStart(const fs::path& file, std::string& bytes, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = SystemError(errno);
    return false;
  }
  bytes.assign(kHeaderBytes, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return true;
}

bool IsGzip(const std::string& start) {
  return start.size() >= kGzipMagic.size() &&
         static_cast<unsigned char>(start[0]) == kGzipMagic[0] &&
         static_cast<unsigned char>(start[1]) == kGzipMagic[1];
}

// The gzipped file unpacked to a new file of its own, removed with this object.
class Unpacked {
 public:
  explicit Unpacked(fs::path path) : path_(std::move(path)) {}
  ~Unpacked() {
    std::error_code ignored;
    if (made_) fs::remove(path_, ignored);
  }
  Unpacked(const Unpacked&) = delete;
  Unpacked& operator=(const Unpacked&) = delete;

  bool From(const fs::path& gzipped, const std::stop_token& stop, std::string& error) {
    const int fd = files::OpenDescriptor(gzipped);
    if (fd < 0) {
      error = "cannot read " + files::PathToUtf8(gzipped) + ": " + SystemError(errno);
      return false;
    }
    const std::unique_ptr<gzFile_s, decltype(&gzclose_r)> in(gzdopen(fd, "rb"), &gzclose_r);
    if (!in) {
      files::CloseDescriptor(fd);
      error = "cannot read " + files::PathToUtf8(gzipped) + ": out of memory";
      return false;
    }
    gzbuffer(in.get(), static_cast<unsigned>(kUnpackChunk));
    // Left behind only by a killed import: that one's file is replaced.
    files::Writer out;
    std::string problem;
    if (!out.Create(path_, problem)) {
      error = "cannot unpack to " + files::PathToUtf8(path_) + ": " + problem;
      return false;
    }
    made_ = true;
    std::vector<char> buffer(kUnpackChunk);
    bool ok = true;
    for (;;) {
      if (stop.stop_requested()) {
        error = "stopped";
        ok = false;
        break;
      }
      const int got = gzread(in.get(), buffer.data(), static_cast<unsigned>(buffer.size()));
      if (got < 0) {
        int code = Z_OK;
        const char* message = gzerror(in.get(), &code);
        error = std::string("damaged gzip data: ") + message;
        ok = false;
        break;
      }
      if (got == 0) break;
      if (!out.Write(buffer.data(), static_cast<std::size_t>(got), problem)) {
        error = "cannot unpack to " + files::PathToUtf8(path_) + ": " + problem;
        ok = false;
        break;
      }
    }
    if (!out.Close(problem) && ok) {
      error = "cannot unpack to " + files::PathToUtf8(path_) + ": " + problem;
      ok = false;
    }
    if (!ok) return false;
    // A stream that ends before its trailer reads as a short end, not as an error.
    int code = Z_OK;
    gzerror(in.get(), &code);
    if (code == Z_BUF_ERROR) {
      error = "the gzip file is truncated";
      return false;
    }
    return true;
  }

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool made_ = false;
};

// Whether the bytes and the size are a whole SQLite database; error says what they are instead.
bool CheckSqliteHeader(const std::string& start, std::uintmax_t size, std::string& error) {
  if (start.size() < kHeaderBytes ||
      std::string_view(start).substr(0, kSqliteMagic.size()) != kSqliteMagic) {
    error = "not an SQLite database";
    return false;
  }
  std::uint32_t pageSize = BigEndian(start, kPageSizeAt, 2);
  if (pageSize == 1) pageSize = 65536;  // the one size two bytes cannot hold
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) {
    error = "not an SQLite database (page size " + std::to_string(pageSize) + ")";
    return false;
  }
  // The page count is only trusted when the header says it is current.
  const bool countValid = BigEndian(start, kChangeCounterAt, 4) == BigEndian(start, kValidForAt, 4);
  const std::uintmax_t pages = BigEndian(start, kPageCountAt, 4);
  const std::uintmax_t expected = countValid && pages > 0 ? pages * pageSize : 0;
  if (size < expected || size % pageSize != 0) {
    error = "the database is truncated (" + std::to_string(size) + " bytes" +
            (expected > 0 ? " of " + std::to_string(expected) : std::string()) + ")";
    return false;
  }
  return true;
}

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

class Dump {
 public:
  Dump() = default;
  ~Dump() {
    sqlite3_finalize(tracks_);
    sqlite3_close(db_);
  }
  Dump(const Dump&) = delete;
  Dump& operator=(const Dump&) = delete;

  // Read-only and immutable: nothing is ever written, and a published file has no writer to
  // lock out, so SQLite neither locks it nor looks for a log beside it.
  bool Open(const fs::path& file, std::string& error) {
    std::error_code ignored;
    const fs::path absolute = fs::absolute(file, ignored);
    const std::string uri =
        UriPath(files::PathToUtf8(absolute.empty() ? file : absolute)) + "?mode=ro&immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) !=
        SQLITE_OK) {
      error = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      return false;
    }
    return true;
  }

  // Whether the tables and columns the import reads are there; error names the first missing.
  bool CheckSchema(std::string& error) {
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
      if (sqlite3_prepare_v2(db_, "SELECT name, pk FROM pragma_table_info(?1)", -1, &info,
                             nullptr) != SQLITE_OK) {
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

  bool CountTracks(std::size_t& count, std::string& error) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(db_, "SELECT count(*) FROM tracks", -1, &statement, nullptr);
    if (code == SQLITE_OK) code = sqlite3_step(statement);
    if (code == SQLITE_ROW) count = static_cast<std::size_t>(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    if (code != SQLITE_ROW) {
      error = Damaged(0);
      return false;
    }
    return true;
  }

  // The tracks in the table's order, each with its current lyrics, one row at a time.
  bool StartTracks(std::string& error) {
    if (sqlite3_prepare_v2(db_,
                           "SELECT t.name, t.artist_name, t.album_name, t.duration, "
                           "l.plain_lyrics, l.synced_lyrics, l.instrumental "
                           "FROM tracks t LEFT JOIN lyrics l ON l.id = t.last_lyrics_id",
                           -1, &tracks_, nullptr) != SQLITE_OK) {
      error = Damaged(0);
      return false;
    }
    return true;
  }
  // SQLITE_ROW with the track's columns readable, SQLITE_DONE, or an error code.
  int Next() { return sqlite3_step(tracks_); }
  std::string_view Text(int column) const {
    const unsigned char* text = sqlite3_column_text(tracks_, column);
    const int size = sqlite3_column_bytes(tracks_, column);
    if (text == nullptr || size <= 0) return {};
    return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)};
  }
  double Number(int column) const { return sqlite3_column_double(tracks_, column); }
  bool Flag(int column) const { return sqlite3_column_int64(tracks_, column) != 0; }

  std::string Damaged(std::size_t tracks) const {
    return "the dump is damaged after " + std::to_string(tracks) +
           " tracks: " + sqlite3_errmsg(db_);
  }

 private:
  std::string NotDatabase() const {
    return std::string("not an SQLite database: ") + sqlite3_errmsg(db_);
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* tracks_ = nullptr;
};

enum class TrackKind { Song, WithoutLyrics, Skipped };

// The columns StartTracks selects, in its order.
enum Column { kName, kArtist, kAlbum, kDuration, kPlain, kSynced, kInstrumental };

TrackKind ReadTrack(const Dump& dump, Song& song) {
  const std::string_view title = dump.Text(kName);
  if (title.find_first_not_of(" \t") == std::string_view::npos) return TrackKind::Skipped;
  const std::string_view plain = dump.Text(kPlain);
  const std::string_view synced = dump.Text(kSynced);
  if (plain.size() > kMaxLyricsBytes || synced.size() > kMaxLyricsBytes) return TrackKind::Skipped;
  song.title = title;
  song.artist = dump.Text(kArtist);
  song.album = dump.Text(kAlbum);
  song.instrumental = dump.Flag(kInstrumental);
  song.synced = HasTimestamps(synced) ? synced : std::string_view();
  if (plain.find_first_not_of(" \t\r\n") != std::string_view::npos) {
    song.lyrics = TidyLyrics(plain);
  } else if (!song.synced.empty()) {
    song.lyrics = ParseLrc(synced).lyrics;
  } else {
    song.lyrics.clear();
  }
  if (song.lyrics.empty() && song.synced.empty() && !song.instrumental)
    return TrackKind::WithoutLyrics;
  const double seconds = dump.Number(kDuration);
  song.durationMs = std::isfinite(seconds) && seconds > 0 && seconds < kLongestDurationSeconds
                        ? std::llround(seconds * 1000)
                        : 0;
  return TrackKind::Song;
}

// The import's writes, in the transaction Begin opened.
bool WriteSongs(Store& store, Dump& dump, const std::string& source, FileStamp stamp,
                std::size_t total, DumpReport& report, std::string& error,
                const DumpProgress& progress, const std::stop_token& stop) {
  if (!store.ReplaceDump(source, stamp)) {
    error = "the index refused the dump: " + store.LastError();
    return false;
  }
  if (progress) progress(0, total);
  Song song;
  int code = SQLITE_OK;
  while ((code = dump.Next()) == SQLITE_ROW) {
    ++report.tracks;
    switch (ReadTrack(dump, song)) {
      case TrackKind::Song:
        if (!store.PutDumpSong(source, song)) {
          error = "the index refused a song: " + store.LastError();
          return false;
        }
        ++report.songs;
        break;
      case TrackKind::WithoutLyrics:
        ++report.withoutLyrics;
        break;
      case TrackKind::Skipped:
        ++report.skipped;
        break;
    }
    if (report.tracks % kCheckEveryTracks == 0) {
      if (stop.stop_requested()) {
        error = "stopped";
        return false;
      }
      if (progress) progress(report.tracks, total);
    }
  }
  if (code != SQLITE_DONE) {
    error = dump.Damaged(report.tracks);
    return false;
  }
  // A stop asked for during the last tracks is still a stop: nothing is committed after it.
  if (stop.stop_requested()) {
    error = "stopped";
    return false;
  }
  if (!store.IndexDump()) {
    error = "the index refused the dump: " + store.LastError();
    return false;
  }
  if (progress) progress(total, total);
  return true;
}

}  // namespace

fs::path UnpackPath(const fs::path& database) {
  fs::path unpacked = database;
  unpacked += ".lrclib-unpacked";
  return unpacked;
}

bool ImportLrclibDump(Store& store, const fs::path& file, const fs::path& unpackTo,
                      DumpReport& report, std::string& error, const DumpProgress& progress,
                      const std::stop_token& stop) {
  report = {};
  error.clear();
  std::string start;
  if (!ReadStart(file, start, error)) return false;
  FileStamp stamp;
  std::string ignored;
  if (const auto status = files::StatusOf(file, ignored))
    stamp = {static_cast<std::int64_t>(status->size), status->mtimeNs};
  Unpacked unpacked(unpackTo);
  fs::path database = file;
  if (IsGzip(start)) {
    if (!unpacked.From(file, stop, error)) return false;
    database = unpacked.path();
    if (!ReadStart(database, start, error)) return false;
  }
  std::error_code sizeError;
  const std::uintmax_t size = fs::file_size(database, sizeError);
  if (sizeError) {
    error = sizeError.message();
    return false;
  }
  if (!CheckSqliteHeader(start, size, error)) return false;

  Dump dump;
  std::size_t total = 0;
  if (!dump.Open(database, error) || !dump.CheckSchema(error) || !dump.CountTracks(total, error) ||
      !dump.StartTracks(error))
    return false;

  // The file's name alone: every song's row and index entries repeat it.
  const std::string source = "lrclib-dump:" + files::PathToUtf8(file.filename());
  store.SetCacheKiB(kImportCacheKiB);
  if (!store.Begin()) {
    error = "the index cannot be written: " + store.LastError();
    return false;
  }
  if (!WriteSongs(store, dump, source, stamp, total, report, error, progress, stop)) {
    store.Rollback();
    return false;
  }
  if (!store.Commit()) {
    error = "the index refused the dump: " + store.LastError();
    return false;
  }
  // After the commit: both only tidy what is already there, and may fail without harm.
  store.OptimizeSearch();
  store.Checkpoint();
  return true;
}

}  // namespace talvo
