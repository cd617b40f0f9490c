#include "sources/library.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include "core/limits.h"
#include "platform/files.h"
#include "sources/tags.h"

namespace talvo {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 7> kAudioExtensions = {".mp3",  ".flac", ".ogg", ".oga",
                                                              ".opus", ".m4a",  ".mp4"};

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

std::string Extension(const fs::path& file) {
  return LowerAscii(files::PathToUtf8(file.extension()));
}

bool IsAudioExtension(std::string_view extension) {
  return std::find(kAudioExtensions.begin(), kAudioExtensions.end(), extension) !=
         kAudioExtensions.end();
}

// Fills in the names the file's own text left empty from its stem, "Artist - Title" or a title.
void NamesFromStem(const fs::path& file, const CodePage& codePage, Song& song) {
  // File names are bytes; copied from elsewhere they may be in the player's code page.
  const std::string stem = Utf8OrCodePage(files::PathToUtf8(file.stem()), codePage);
  std::string_view name = DropPlaylistNumber(stem);
  if (name.empty()) name = stem;
  std::string artist;
  std::string title;
  if (!SplitArtistTitle(name, artist, title)) title = std::string(name);
  if (song.title.empty()) song.title = std::move(title);
  if (song.artist.empty()) song.artist = std::move(artist);
}

// The bytes of a regular file of at most kMaxLyricsBytes. Opened without blocking, so a pipe or a
// device that took a lyrics file's name cannot stall the scan.
bool ReadSmallFile(const fs::path& file, std::string& bytes, std::string& problem) {
  files::Reader reader;
  if (!reader.Open(file, problem)) return false;
  const auto info = reader.Stat(problem);
  if (!info) return false;
  if (!info->regular) {
    problem = "not a regular file";
    return false;
  }
  if (info->size > kMaxLyricsBytes) {
    problem = "too big for a lyrics file (" + std::to_string(info->size) + " bytes)";
    return false;
  }
  // Room for one byte more than the status said, to see a file that grew since; it may grow up
  // to one byte over the limit, which tells it is too big.
  bytes.resize(static_cast<std::size_t>(info->size) + 1);
  std::size_t size = 0;
  while (true) {
    if (size == bytes.size()) {
      if (size > kMaxLyricsBytes) break;
      bytes.resize(std::min(size * 2, kMaxLyricsBytes + 1));
    }
    const auto got = reader.Read(bytes.data() + size, bytes.size() - size, problem);
    if (!got) {
      bytes.clear();
      return false;
    }
    if (*got == 0) break;
    size += *got;
  }
  if (size > kMaxLyricsBytes) {
    problem = "too big for a lyrics file";
    bytes.clear();
    return false;
  }
  bytes.resize(size);
  return true;
}

struct Candidate {
  std::string path;
  FileStamp stamp;
};

// Whether remainder (".mp3") is an audio extension spelt all in lower or all in upper case.
bool IsAudioSpelling(std::string_view remainder) {
  return std::any_of(kAudioExtensions.begin(), kAudioExtensions.end(), [&](std::string_view ext) {
    return remainder == ext || remainder == UpperAscii(std::string(ext));
  });
}

// The audio file a sidecar .lrc belongs to: same folder, same stem. A scan passes the files it
// found, sorted by path, and no folder is asked again; otherwise each name is looked up.
std::optional<fs::path> AudioBeside(const fs::path& lrc, const std::vector<Candidate>* files) {
  if (files != nullptr) {
    // Paths that share "folder/stem." sit together in the sorted list.
    std::string prefix = files::PathToUtf8(fs::path(lrc).replace_extension()) + '.';
    auto it = std::lower_bound(files->begin(), files->end(), prefix,
                               [](const Candidate& a, const std::string& b) { return a.path < b; });
    std::optional<fs::path> found;
    std::size_t foundRank = kAudioExtensions.size();
    for (; it != files->end() && it->path.starts_with(prefix); ++it) {
      const std::string_view remainder = std::string_view(it->path).substr(prefix.size() - 1);
      if (!IsAudioSpelling(remainder)) continue;
      // The same choice as the look-ups below: the first extension in kAudioExtensions.
      const std::string lower = LowerAscii(std::string(remainder));
      const auto rank = static_cast<std::size_t>(
          std::find(kAudioExtensions.begin(), kAudioExtensions.end(), lower) -
          kAudioExtensions.begin());
      if (rank < foundRank) {
        foundRank = rank;
        found = files::PathFromUtf8(it->path);
      }
    }
    return found;
  }
  for (const std::string_view extension : kAudioExtensions) {
    for (const std::string& spelling :
         {std::string(extension), UpperAscii(std::string(extension))}) {
      fs::path audio = lrc;
      audio.replace_extension(spelling);
      std::string ignored;
      const auto status = files::StatusOf(audio, ignored);
      if (status && status->regular) return audio;
    }
  }
  return std::nullopt;
}

bool ReadText(const fs::path& file, const std::string& extension, const CodePage& codePage,
              const std::vector<Candidate>* files, std::vector<Song>& songs, std::string& problem) {
  std::string bytes;
  if (!ReadSmallFile(file, bytes, problem)) return false;
  const std::string text = DecodeFileText(bytes, codePage);
  Song song = extension == ".lrc" ? ParseLrc(text) : ParseLyrics(text);
  if (song.lyrics.empty() && !song.instrumental) return true;
  if (extension == ".lrc") {
    // Its audio file knows the length better than a [length:] tag; it may also name the song.
    if (const auto audio = AudioBeside(file, files)) {
      Song tags;
      std::string ignoredProblem;
      if (ReadAudioFile(*audio, codePage, AudioParts::kNamesAndLength, tags, ignoredProblem)) {
        if (song.title.empty()) song.title = std::move(tags.title);
        if (song.artist.empty()) song.artist = std::move(tags.artist);
        if (song.album.empty()) song.album = std::move(tags.album);
        if (tags.durationMs > 0) song.durationMs = tags.durationMs;
      }
    }
  }
  NamesFromStem(file, codePage, song);
  songs.push_back(std::move(song));
  return true;
}

bool ReadEmbedded(const fs::path& file, const CodePage& codePage, std::vector<Song>& songs,
                  std::string& problem) {
  Song song;
  if (!ReadAudioFile(file, codePage, AudioParts::kAll, song, problem)) return false;
  if (song.lyrics.empty() && !song.instrumental) return true;
  NamesFromStem(file, codePage, song);
  songs.push_back(std::move(song));
  return true;
}

// The index's stamp counts std::filesystem's file clock, as it did when the scan asked
// std::filesystem for it: the stamps of an index made then still match.
std::int64_t IndexTime(std::int64_t mtimeNs) {
  const std::chrono::sys_time<std::chrono::nanoseconds> time{std::chrono::nanoseconds(mtimeNs)};
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::file_clock::from_sys(time).time_since_epoch())
      .count();
}

// The files under the library folders, and what could not be looked at.
struct Walk {
  std::vector<Candidate> files;
  // Files and folders that could not be looked at: what the index holds at or under them stays.
  std::unordered_set<std::string> unseen;
  std::vector<std::string> problems;
  std::size_t badEntries = 0;               // library-named entries that are not readable files
  std::unordered_set<std::string> visited;  // folders by their identity: links cannot loop

  void Folder(const fs::path& folder, std::vector<fs::path>& pending) {
    std::string problem;
    auto identity = files::FolderIdentity(folder, problem);
    if (!identity) {
      Unseen(folder, "folder not listed: " + problem);
      return;
    }
    if (!visited.insert(std::move(*identity)).second) return;
    if (!files::ListFolder(
            folder, [&](const files::Entry& entry) { Entry(entry, pending); }, problem))
      Unseen(folder, "folder not listed: " + problem);
  }

  void Entry(const files::Entry& entry, std::vector<fs::path>& pending) {
    const bool library = IsLibraryFile(entry.path);
    if (!entry.problem.empty() && !entry.gone) {
      Unseen(entry.path, "cannot be looked at: " + entry.problem);
      if (library) ++badEntries;
      return;
    }
    if (entry.kind == files::Entry::Kind::kFolder) pending.push_back(entry.path);
    if (!library) return;
    if (entry.kind != files::Entry::Kind::kRegular) {
      Bad(entry.path, entry.gone ? entry.problem : std::string("not a regular file"));
      return;
    }
    files.push_back({files::PathToUtf8(entry.path),
                     FileStamp{static_cast<std::int64_t>(entry.size), IndexTime(entry.mtimeNs)}});
  }

  void Unseen(const fs::path& path, const std::string& reason) {
    problems.push_back(files::PathToUtf8(path) + ": " + reason);
    unseen.insert(files::PathToUtf8(path));
  }

  void Bad(const fs::path& file, const std::string& reason) {
    problems.push_back(files::PathToUtf8(file) + ": " + reason);
    ++badEntries;
  }

  // Whether path, or a folder above it, could not be looked at.
  bool IsUnseen(std::string_view path) const {
    if (unseen.empty()) return false;
    for (;;) {
      if (unseen.contains(std::string(path))) return true;
      const std::size_t slash = path.rfind(static_cast<char>(fs::path::preferred_separator));
      if (slash == std::string_view::npos || slash == 0) return false;
      path = path.substr(0, slash);
    }
  }
};

// One root as an absolute path without a trailing separator, so the paths recorded for its files
// do not depend on how the folder was spelt.
fs::path RootPath(const fs::path& folder) {
  std::error_code error;
  fs::path root = fs::absolute(folder, error);
  if (error) root = folder;
  root = root.lexically_normal();
  if (root.has_relative_path() && !root.has_filename()) root = root.parent_path();
  return root;
}

// The scan's writes, queued while files are read and then written in transactions: the write
// lock is never held while a file is read, which may take seconds (a large file TagLib reads
// slowly, a disk waking up), and never longer than limits::kScanBatchTime and one write. The report
// counts a file as read or removed only once its transaction is committed. What is still queued is
// written when the batch goes, so the report is whole once the function that holds it returns.
class Batch {
 public:
  Batch(Store& store, ScanReport& report) : store_(store), report_(report) {}
  ~Batch() { Write(); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void Put(const Candidate& file, std::vector<Song> songs) {
    std::size_t bytes = file.path.size();
    for (const Song& song : songs) {
      bytes += song.title.size() + song.artist.size() + song.album.size() + song.lyrics.size() +
               song.synced.size();
    }
    Queue({file.path, file.stamp, std::move(songs), false}, bytes);
  }
  void Remove(const std::string& path) { Queue({path, {}, {}, true}, path.size()); }

  // Writes what is queued.
  void Write() {
    std::size_t next = 0;
    while (next < queue_.size()) {
      if (!store_.Begin()) {
        // As when each write fails: the index keeps these files as they were.
        for (; next < queue_.size(); ++next) Failed(queue_[next]);
        break;
      }
      const auto begun = std::chrono::steady_clock::now();
      std::size_t read = 0;
      std::size_t removed = 0;
      do {
        const Change& change = queue_[next++];
        const bool written = change.remove
                                 ? store_.RemoveFile(change.path)
                                 : store_.PutFile(change.path, change.stamp, change.songs);
        if (!written) {
          Failed(change);
        } else if (change.remove) {
          ++removed;
        } else {
          ++read;
        }
      } while (next < queue_.size() &&
               std::chrono::steady_clock::now() - begun < limits::kScanBatchTime);
      if (store_.Commit()) {
        report_.read += read;
        report_.removed += removed;
      } else {
        // Rolled back: the index holds these files as it did before.
        report_.problems.push_back("index: " + std::to_string(read) +
                                   " files not stored: " + store_.LastError());
        report_.skipped += read;
      }
    }
    queue_.clear();
    bytes_ = 0;
  }

 private:
  struct Change {
    std::string path;
    FileStamp stamp;
    std::vector<Song> songs;
    bool remove = false;
  };

  void Queue(Change change, std::size_t bytes) {
    const auto now = std::chrono::steady_clock::now();
    if (queue_.empty()) queued_ = now;
    queue_.push_back(std::move(change));
    bytes_ += bytes;
    if (queue_.size() >= limits::kScanBatchFiles || bytes_ >= limits::kScanBatchBytes ||
        now - queued_ >= limits::kScanBatchTime) {
      Write();
    }
  }

  // A file not removed stays in the index, and the next scan finds it gone again.
  void Failed(const Change& change) {
    if (change.remove) return;
    report_.problems.push_back(change.path + ": not stored: " + store_.LastError());
    ++report_.skipped;
  }

  Store& store_;
  ScanReport& report_;
  std::vector<Change> queue_;
  std::size_t bytes_ = 0;
  std::chrono::steady_clock::time_point queued_;
};

// ReadLyricsFile, with the scan's files when it has them.
bool ReadFile(const fs::path& file, const CodePage& codePage, const std::vector<Candidate>* files,
              std::vector<Song>& songs, std::string& problem) {
  songs.clear();
  problem.clear();
  try {
    const auto status = files::StatusOf(file, problem);
    if (!status) return false;
    if (!status->regular) {
      problem = "not a regular file";
      return false;
    }
    const std::string extension = Extension(file);
    if (extension == ".lrc" || extension == ".txt") {
      return ReadText(file, extension, codePage, files, songs, problem);
    }
    if (IsAudioExtension(extension)) return ReadEmbedded(file, codePage, songs, problem);
    problem = "not a lyrics or audio file";
  } catch (const std::exception& exception) {
    problem = exception.what();
  } catch (...) {
    problem = "cannot be read";
  }
  songs.clear();
  return false;
}

// Stores the walk's new and changed files and drops the files it saw gone. Its batch is written,
// and counted in report, by the time it returns: on a stop too.
void Update(Store& store, const Walk& walk, const CodePage& codePage, const ScanProgress& progress,
            const std::stop_token& stop, ScanReport& report) {
  const std::size_t total = walk.files.size();
  if (progress) progress(0, total);
  Batch batch(store, report);
  std::unordered_set<std::string> present;
  present.reserve(total);
  for (std::size_t i = 0; i < total; ++i) {
    // Files not yet looked at are not known to be gone, so nothing is removed either.
    if (stop.stop_requested()) return;
    const Candidate& file = walk.files[i];
    present.insert(file.path);
    std::vector<Song> songs;
    std::string problem;
    if (store.Stamp(file.path) == file.stamp) {
      ++report.unchanged;
    } else if (ReadFile(files::PathFromUtf8(file.path), codePage, &walk.files, songs, problem)) {
      batch.Put(file, std::move(songs));
    } else {
      // What was read before stays: the file is still there, and may read again next time.
      report.problems.push_back(file.path + ": " + problem);
      ++report.skipped;
    }
    if (progress) progress(i + 1, total);
  }

  for (const std::string& path : store.Paths()) {
    if (present.contains(path) || walk.IsUnseen(path)) continue;
    batch.Remove(path);
  }
}

}  // namespace

bool ReadLyricsFile(const fs::path& file, const CodePage& codePage, std::vector<Song>& songs,
                    std::string& problem) {
  return ReadFile(file, codePage, nullptr, songs, problem);
}

bool IsLibraryFile(const fs::path& file) {
  const std::string extension = Extension(file);
  return extension == ".lrc" || extension == ".txt" || IsAudioExtension(extension);
}

ScanReport ScanLibrary(Store& store, const std::vector<fs::path>& folders, const CodePage& codePage,
                       const ScanProgress& progress, const std::stop_token& stop) {
  ScanReport report;
  Walk walk;
  for (const fs::path& folder : folders) {
    std::vector<fs::path> pending{RootPath(folder)};
    while (!pending.empty()) {
      const fs::path next = std::move(pending.back());
      pending.pop_back();
      walk.Folder(next, pending);
    }
  }
  std::sort(walk.files.begin(), walk.files.end(),
            [](const Candidate& a, const Candidate& b) { return a.path < b.path; });
  report.problems = std::move(walk.problems);
  report.seen = walk.files.size() + walk.badEntries;
  report.skipped = walk.badEntries;

  Update(store, walk, codePage, progress, stop, report);
  if (report.read + report.removed > 0 && !stop.stop_requested() && !store.OptimizeSearch())
    report.problems.push_back("index: search not optimized: " + store.LastError());
  return report;
}

}  // namespace talvo
