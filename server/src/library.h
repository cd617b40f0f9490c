// The user's lyrics library: folders of .lrc and .txt files and of audio files with lyrics in
// their tags, indexed into a Store. The library is only ever read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "lyrics.h"
#include "store.h"
#include "text.h"

namespace talvo {

struct ScanReport {
  std::size_t seen = 0;               // candidate files found under the folders
  std::size_t read = 0;               // new or changed, read again and stored
  std::size_t unchanged = 0;          // same size and modification time: not read
  std::size_t removed = 0;            // seen gone from the library, dropped from the index
  std::size_t skipped = 0;            // could not be looked at, read, decoded or stored
  std::vector<std::string> problems;  // "path: reason", one per skipped file or folder
};

// Called now and then during a scan with the files handled so far and the total found.
using ScanProgress = std::function<void(std::size_t done, std::size_t total)>;

// Brings the index up to date with the folders: reads new and changed files (by size and
// modification time), drops files that are gone. Links to folders are followed, each real folder
// once. Only a file seen gone is dropped: absent from a folder listed in full, or its own name no
// longer there. Whatever cannot be looked at (a folder that cannot be listed, an entry whose
// status fails: permissions, a link to an unmounted disk, a path past PATH_MAX, I/O errors) is
// reported and what the index holds at or under it stays, as do the songs of a file that is there
// but cannot be read this time: an unmounted disk is not an emptied library. Writes are
// committed in batches, and the report counts only what was committed. Never throws for
// anything a file holds. A stop request ends the scan after the file in hand, with what was read
// kept and nothing removed. A scan that changed the index ends by optimizing its search.
ScanReport ScanLibrary(Store& store, const std::vector<std::filesystem::path>& folders,
                       const CodePage& codePage, const ScanProgress& progress = {},
                       const std::stop_token& stop = {});

// The songs in one library file, by its extension: .lrc, .txt ("Artist - Title.txt"), or an
// audio file's embedded lyrics (MP3 ID3v2 USLT/SYLT, FLAC and Ogg LYRICS/UNSYNCEDLYRICS, MP4
// ©lyr). A .lrc without names takes them from the audio file beside it with the same stem, else
// from its own file name. False with problem set when the file cannot be read: not a regular
// file, a .lrc or .txt over 1 MiB, an audio file TagLib cannot parse. True with no songs for a
// file that holds no lyrics (an MP3 is not checked for audio frames: junk reads as untagged).
// Legacy bytes (text files without a mark that are not UTF-8, file names, ID3 "Latin-1" frames)
// are decoded with codePage. Files are only ever opened for reading.
bool ReadLyricsFile(const std::filesystem::path& file, const CodePage& codePage,
                    std::vector<Song>& songs, std::string& problem);

// Whether a scan looks at this file at all.
bool IsLibraryFile(const std::filesystem::path& file);

// Draws "[#####-----] 123/4567 files" on a terminal, redrawn in place when the percentage moves
// (at most four times a second, and once at the end); silent when the stream is not a terminal
// or the scan is short (under 200 files). Finish ends the line if anything was drawn.
class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* stream);
  void operator()(std::size_t done, std::size_t total);
  void Finish();

 private:
  std::FILE* stream_;
  bool terminal_;
  int lastPercent_ = -1;  // -1: nothing drawn on this line
  bool drawnLast_ = false;
  std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace talvo
