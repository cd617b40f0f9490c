// The import into the index: the dump's file made ready (dump_file.h), its tracks read as songs
// (dump_tracks.h), and those songs written in the one transaction that replaces the last dump's.
#include "sources/lrclib_dump.h"

#include <cstdint>

#include "platform/files.h"
#include "sources/dump_file.h"
#include "sources/dump_tracks.h"

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

// The import's writes, in the transaction Begin opened.
bool WriteSongs(Store& store, DumpTracks& tracks, const std::string& source, FileStamp stamp,
                DumpReport& report, std::string& error, const DumpProgress& progress,
                const std::stop_token& stop) {
  if (!store.ReplaceDump(source, stamp)) {
    error = "the index refused the dump: " + store.LastError();
    return false;
  }
  const std::size_t total = tracks.total();
  if (progress) progress(0, total);
  Song song;
  for (;;) {
    const DumpTracks::Track track = tracks.Next(song);
    if (track == DumpTracks::Track::kEnd) break;
    if (track == DumpTracks::Track::kDamaged) {
      error = tracks.Damaged();
      return false;
    }
    ++report.tracks;
    if (track == DumpTracks::Track::kSong) {
      if (!store.PutDumpSong(source, song)) {
        error = "the index refused a song: " + store.LastError();
        return false;
      }
      ++report.songs;
    } else if (track == DumpTracks::Track::kWithoutLyrics) {
      ++report.withoutLyrics;
    } else {
      ++report.skipped;
    }
    if (report.tracks % kCheckEveryTracks == 0) {
      if (stop.stop_requested()) {
        error = "stopped";
        return false;
      }
      if (progress) progress(report.tracks, total);
    }
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
  DumpFile dump(unpackTo);
  if (!dump.Prepare(file, stop, error)) return false;
  DumpTracks tracks;
  if (!tracks.Open(dump.database(), error)) return false;

  // The file's name alone: every song's row and index entries repeat it.
  const std::string source = "lrclib-dump:" + files::PathToUtf8(file.filename());
  store.SetCacheKiB(kImportCacheKiB);
  if (!store.Begin()) {
    error = "the index cannot be written: " + store.LastError();
    return false;
  }
  if (!WriteSongs(store, tracks, source, dump.stamp(), report, error, progress, stop)) {
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
