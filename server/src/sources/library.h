// The user's lyrics library: folders of .lrc and .txt files and of audio files with lyrics in
// their tags, indexed into a Store. The library is only ever read.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "index/store.h"
#include "text/lyrics.h"
#include "text/text.h"

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
// committed in batches, and the report counts only what was committed; the index's write lock
// is never held while a file is read, so a slow file keeps no other writer waiting. Never throws
// for anything a file holds. A stop request ends the scan after the file in hand, with what was
// read kept and nothing removed. A scan that changed the index ends by optimizing its search.
ScanReport ScanLibrary(Store& store, const std::vector<std::filesystem::path>& folders,
                       const CodePage& codePage, const ScanProgress& progress = {},
                       const std::stop_token& stop = {});

// The songs in one library file, by its extension: .lrc, .txt ("Artist - Title.txt"; read as
// .lrc when it has timestamps), or an audio file's embedded lyrics (what ReadAudioFile reads).
// A .lrc takes its length from the audio file beside it with the same stem when that file tells
// one, else from its own [length:], and its missing names from that file's tags, else from its own
// file name. A text with no words is no song unless it is marked instrumental. False with problem
// set when the file cannot be read: not a regular file, a .lrc or .txt over 1 MiB, an audio file
// ReadAudioFile refuses. True with no songs for a file that holds no lyrics. Legacy bytes (text
// files without a mark that are not UTF-8, file names, ID3 "Latin-1" frames) are decoded with
// codePage. Files are only ever opened for reading.
bool ReadLyricsFile(const std::filesystem::path& file, const CodePage& codePage,
                    std::vector<Song>& songs, std::string& problem);

// Whether a scan looks at this file at all.
bool IsLibraryFile(const std::filesystem::path& file);

}  // namespace talvo
