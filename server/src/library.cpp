#include "library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfilestream.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <string_view>
#include <unordered_set>
#include <utility>

namespace talvo {

namespace fs = std::filesystem;

namespace {

// Writes per transaction, and the longest a transaction stays open while files are read: few
// fsyncs, yet the recent lookups' writer is never kept waiting for long.
constexpr std::size_t kBatchFiles = 2000;
constexpr auto kBatchTime = std::chrono::milliseconds(500);

// Below this many files a scan is over before a bar would be worth reading.
constexpr std::size_t kBarMinFiles = 200;
constexpr auto kBarInterval = std::chrono::milliseconds(250);
constexpr std::size_t kBarWidth = 30;

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
  return LowerAscii(file.extension().string());
}

bool IsAudioExtension(std::string_view extension) {
  return std::find(kAudioExtensions.begin(), kAudioExtensions.end(), extension) !=
         kAudioExtensions.end();
}

// Fills in the names the file's own text left empty from its stem, "Artist - Title" or a title.
void NamesFromStem(const fs::path& file, const CodePage& codePage, Song& song) {
  // File names are bytes; copied from elsewhere they may be in the player's code page.
  const std::string stem = Utf8OrCodePage(file.stem().string(), codePage);
  std::string_view name = DropPlaylistNumber(stem);
  if (name.empty()) name = stem;
  std::string artist;
  std::string title;
  if (!SplitArtistTitle(name, artist, title)) title = std::string(name);
  if (song.title.empty()) song.title = std::move(title);
  if (song.artist.empty()) song.artist = std::move(artist);
}

// Lyrics found in a tag: .lrc text is common there too.
std::string TagLyrics(const std::string& text) {
  return HasTimestamps(text) ? ParseLrc(text).lyrics : TidyLyrics(text);
}

// The bytes of a regular file of at most kMaxLyricsBytes. Opened without blocking, so a pipe or a
// device that took a lyrics file's name cannot stall the scan.
bool ReadSmallFile(const fs::path& file, std::string& bytes, std::string& problem) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    problem = std::generic_category().message(errno);
    return false;
  }
  struct stat info {};
  bool ok = false;
  if (::fstat(fd, &info) != 0) {
    problem = std::generic_category().message(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "not a regular file";
  } else if (static_cast<std::uintmax_t>(info.st_size) > kMaxLyricsBytes) {
    problem = "too big for a lyrics file (" + std::to_string(info.st_size) + " bytes)";
  } else {
    // Room for one byte more than fstat said, to see a file that grew since; it may grow up to
    // one byte over the limit, which tells it is too big.
    bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t size = 0;
    ok = true;
    while (true) {
      if (size == bytes.size()) {
        if (size > kMaxLyricsBytes) break;
        bytes.resize(std::min(size * 2, kMaxLyricsBytes + 1));
      }
      const ssize_t got = ::read(fd, bytes.data() + size, bytes.size() - size);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        problem = std::generic_category().message(errno);
        ok = false;
        break;
      }
      if (got == 0) break;
      size += static_cast<std::size_t>(got);
    }
    if (ok && size > kMaxLyricsBytes) {
      problem = "too big for a lyrics file";
      ok = false;
    }
    bytes.resize(ok ? size : 0);
  }
  ::close(fd);
  return ok;
}

// TagLib decodes ID3 "Latin-1" text as Latin-1, but players wrote it in their code page (or in
// UTF-8). Each character below 256 is one original byte, so the bytes can be recovered and
// decoded as a text file's are.
std::string LegacyText(const TagLib::String& text, const CodePage& codePage) {
  return DecodeFileText(text.to8Bit(false), codePage);
}

std::string Id3v2Text(const TagLib::ID3v2::Tag& tag, const char* frameId,
                      const CodePage& codePage) {
  const auto found = tag.frameListMap().find(frameId);
  if (found == tag.frameListMap().end()) return {};
  for (const TagLib::ID3v2::Frame* frame : found->second) {
    const auto* textFrame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
    if (textFrame == nullptr || textFrame->toString().isEmpty()) continue;
    return textFrame->textEncoding() == TagLib::String::Latin1
               ? LegacyText(textFrame->toString(), codePage)
               : textFrame->toString().to8Bit(true);
  }
  return {};
}

std::string Id3v2Lyrics(const TagLib::ID3v2::Tag& tag, const CodePage& codePage) {
  const auto& frames = tag.frameListMap();
  if (const auto found = frames.find("USLT"); found != frames.end()) {
    for (const TagLib::ID3v2::Frame* frame : found->second) {
      const auto* uslt = dynamic_cast<const TagLib::ID3v2::UnsynchronizedLyricsFrame*>(frame);
      if (uslt == nullptr || uslt->text().isEmpty()) continue;
      return uslt->textEncoding() == TagLib::String::Latin1 ? LegacyText(uslt->text(), codePage)
                                                            : uslt->text().to8Bit(true);
    }
  }
  if (const auto found = frames.find("SYLT"); found != frames.end()) {
    for (const TagLib::ID3v2::Frame* frame : found->second) {
      const auto* sylt = dynamic_cast<const TagLib::ID3v2::SynchronizedLyricsFrame*>(frame);
      if (sylt == nullptr) continue;
      const bool legacy = sylt->textEncoding() == TagLib::String::Latin1;
      std::string lines;
      for (const auto& entry : sylt->synchedText()) {
        // Entries may carry their own line break, as karaoke syllables do at the end of a line.
        std::string line = legacy ? LegacyText(entry.text, codePage) : entry.text.to8Bit(true);
        while (!line.empty() && (line.front() == '\n' || line.front() == '\r')) line.erase(0, 1);
        lines += line;
        lines += '\n';
      }
      if (lines.find_first_not_of(" \n") != std::string::npos) return lines;
    }
  }
  return {};
}

std::string XiphLyrics(const TagLib::Ogg::XiphComment& comment) {
  for (const char* field : {"LYRICS", "UNSYNCEDLYRICS"}) {
    const auto found = comment.fieldListMap().find(field);
    if (found == comment.fieldListMap().end()) continue;
    for (const TagLib::String& value : found->second) {
      if (!value.isEmpty()) return value.to8Bit(true);
    }
  }
  return {};
}

std::string Mp4Lyrics(const TagLib::MP4::Tag& tag) {
  const TagLib::String key("\251lyr", TagLib::String::Latin1);
  if (!tag.contains(key)) return {};
  for (const TagLib::String& value : tag.item(key).toStringList()) {
    if (!value.isEmpty()) return value.to8Bit(true);
  }
  return {};
}

// The names and the embedded lyrics (raw, as the tag holds them) of an audio file, opened
// read-only: a FileRef on a path would open it for writing when it may.
bool ReadAudio(const fs::path& file, const CodePage& codePage, Song& names, std::string& lyrics,
               std::string& problem) {
  TagLib::FileStream stream(file.c_str(), true);
  if (!stream.isOpen()) {
    problem = "cannot be opened";
    return false;
  }
  const TagLib::FileRef ref(&stream, false);
  TagLib::File* audio = ref.file();
  if (audio == nullptr || !audio->isValid()) {
    problem = "not an audio file TagLib can read";
    return false;
  }
  if (const TagLib::Tag* tag = audio->tag(); tag != nullptr) {
    names.title = tag->title().to8Bit(true);
    names.artist = tag->artist().to8Bit(true);
    names.album = tag->album().to8Bit(true);
  }
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(audio)) {
    // The generic tag read ID3 text as Latin-1; read it again through the code page.
    if (const TagLib::ID3v2::Tag* id3v2 = mpeg->ID3v2Tag(false); id3v2 != nullptr) {
      for (auto [field, id] : {std::pair{&names.title, "TIT2"}, std::pair{&names.artist, "TPE1"},
                               std::pair{&names.album, "TALB"}}) {
        if (std::string text = Id3v2Text(*id3v2, id, codePage); !text.empty()) {
          *field = std::move(text);
        }
      }
      lyrics = Id3v2Lyrics(*id3v2, codePage);
    }
    const TagLib::ID3v2::Tag* id3v2 = mpeg->ID3v2Tag(false);
    if (const TagLib::ID3v1::Tag* id3v1 = mpeg->ID3v1Tag(false);
        id3v1 != nullptr && (id3v2 == nullptr || id3v2->isEmpty())) {
      names.title = LegacyText(id3v1->title(), codePage);
      names.artist = LegacyText(id3v1->artist(), codePage);
      names.album = LegacyText(id3v1->album(), codePage);
    }
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(audio)) {
    if (const TagLib::Ogg::XiphComment* comment = flac->xiphComment(false); comment != nullptr) {
      lyrics = XiphLyrics(*comment);
    }
    if (const TagLib::ID3v2::Tag* id3v2 = flac->ID3v2Tag(false); lyrics.empty() && id3v2) {
      lyrics = Id3v2Lyrics(*id3v2, codePage);
    }
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(audio)) {
    if (const TagLib::MP4::Tag* tag = mp4->tag(); tag != nullptr) lyrics = Mp4Lyrics(*tag);
  } else if (const auto* comment = dynamic_cast<const TagLib::Ogg::XiphComment*>(audio->tag())) {
    lyrics = XiphLyrics(*comment);  // Vorbis, Opus, Speex and FLAC in Ogg
  }
  return true;
}

// The audio file a sidecar .lrc belongs to: same folder, same stem.
std::optional<fs::path> AudioBeside(const fs::path& lrc) {
  for (const std::string_view extension : kAudioExtensions) {
    for (const std::string& spelling :
         {std::string(extension), UpperAscii(std::string(extension))}) {
      fs::path audio = lrc;
      audio.replace_extension(spelling);
      std::error_code error;
      if (fs::is_regular_file(audio, error)) return audio;
    }
  }
  return std::nullopt;
}

bool ReadText(const fs::path& file, const std::string& extension, const CodePage& codePage,
              std::vector<Song>& songs, std::string& problem) {
  std::string bytes;
  if (!ReadSmallFile(file, bytes, problem)) return false;
  const std::string text = DecodeFileText(bytes, codePage);
  Song song;
  if (extension == ".lrc") {
    song = ParseLrc(text);
    if (song.lyrics.empty()) return true;
    if (song.title.empty() || song.artist.empty()) {
      if (const auto audio = AudioBeside(file)) {
        Song tagNames;
        std::string ignoredLyrics;
        std::string ignoredProblem;
        if (ReadAudio(*audio, codePage, tagNames, ignoredLyrics, ignoredProblem)) {
          if (song.title.empty()) song.title = tagNames.title;
          if (song.artist.empty()) song.artist = tagNames.artist;
          if (song.album.empty()) song.album = tagNames.album;
        }
      }
    }
  } else {
    song.lyrics = TagLyrics(text);
    if (song.lyrics.empty()) return true;
  }
  NamesFromStem(file, codePage, song);
  songs.push_back(std::move(song));
  return true;
}

bool ReadEmbedded(const fs::path& file, const CodePage& codePage, std::vector<Song>& songs,
                  std::string& problem) {
  Song song;
  std::string lyrics;
  if (!ReadAudio(file, codePage, song, lyrics, problem)) return false;
  if (lyrics.size() > kMaxLyricsBytes) {
    problem = "lyrics in the tag too long (" + std::to_string(lyrics.size()) + " bytes)";
    return false;
  }
  song.lyrics = TagLyrics(lyrics);
  if (song.lyrics.empty()) return true;
  NamesFromStem(file, codePage, song);
  songs.push_back(std::move(song));
  return true;
}

struct Candidate {
  std::string path;
  FileStamp stamp;
};

// Whether a failed look at an entry of a listed folder saw it gone: the name itself is no longer
// there. A link whose target is missing is a disk not mounted, not a deletion.
bool SeenGone(const fs::path& entry, const std::error_code& error) {
  if (error != std::errc::no_such_file_or_directory && error != std::errc::not_a_directory)
    return false;
  std::error_code ignored;  // ENOENT and ENOTDIR read as not_found, any other failure does not
  return fs::symlink_status(entry, ignored).type() == fs::file_type::not_found;
}

// The files under the library folders, and what could not be looked at.
struct Walk {
  std::vector<Candidate> files;
  // Files and folders that could not be looked at: what the index holds at or under them stays.
  std::unordered_set<std::string> unseen;
  std::vector<std::string> problems;
  std::size_t badEntries = 0;               // library-named entries that are not readable files
  std::unordered_set<std::string> visited;  // folders by their real path: links cannot loop

  void Folder(const fs::path& folder, std::vector<fs::path>& pending) {
    std::error_code error;
    const fs::path real = fs::canonical(folder, error);
    if (error) {
      Unseen(folder, "folder not listed: " + error.message());
      return;
    }
    if (!visited.insert(real.string()).second) return;
    fs::directory_iterator it(folder, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
      Entry(*it, pending);
    }
    if (error) Unseen(folder, "folder not listed: " + error.message());
  }

  void Entry(const fs::directory_entry& entry, std::vector<fs::path>& pending) {
    const bool library = IsLibraryFile(entry.path());
    std::error_code error;
    const fs::file_status status = entry.status(error);  // through links
    if (error && !SeenGone(entry.path(), error)) {
      Unseen(entry.path(), "cannot be looked at: " + error.message());
      if (library) ++badEntries;
      return;
    }
    if (fs::is_directory(status)) pending.push_back(entry.path());
    if (!library) return;
    if (error || !fs::is_regular_file(status)) {
      Bad(entry.path(), error ? error.message() : std::string("not a regular file"));
      return;
    }
    const std::uintmax_t size = entry.file_size(error);
    const fs::file_time_type mtime = error ? fs::file_time_type() : entry.last_write_time(error);
    if (error) {
      if (SeenGone(entry.path(), error)) {
        Bad(entry.path(), error.message());
      } else {
        Unseen(entry.path(), "cannot be looked at: " + error.message());
        ++badEntries;
      }
      return;
    }
    const auto mtimeNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(mtime.time_since_epoch()).count();
    files.push_back({entry.path().string(), FileStamp{static_cast<std::int64_t>(size),
                                                      static_cast<std::int64_t>(mtimeNs)}});
  }

  void Unseen(const fs::path& path, const std::string& reason) {
    problems.push_back(path.string() + ": " + reason);
    unseen.insert(path.string());
  }

  void Bad(const fs::path& file, const std::string& reason) {
    problems.push_back(file.string() + ": " + reason);
    ++badEntries;
  }

  // Whether path, or a folder above it, could not be looked at.
  bool IsUnseen(std::string_view path) const {
    if (unseen.empty()) return false;
    for (;;) {
      if (unseen.contains(std::string(path))) return true;
      const std::size_t slash = path.rfind('/');
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

// Writes grouped into transactions, begun only when something is written. The report counts a
// file as read or removed only once its transaction is committed.
class Batch {
 public:
  Batch(Store& store, ScanReport& report) : store_(store), report_(report) {}
  ~Batch() { Flush(); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  void Put(const Candidate& file, const std::vector<Song>& songs) {
    BeforeWrite();
    if (store_.PutFile(file.path, file.stamp, songs)) {
      ++read_;
    } else {
      report_.problems.push_back(file.path + ": not stored: " + store_.LastError());
      ++report_.skipped;
    }
    AfterWrite();
  }
  void Remove(const std::string& path) {
    BeforeWrite();
    if (store_.RemoveFile(path)) ++removed_;
    AfterWrite();
  }
  void Flush() {
    if (pending_ == 0) return;
    if (store_.Commit()) {
      report_.read += read_;
      report_.removed += removed_;
    } else {
      // Rolled back: the index holds these files as it did before.
      report_.problems.push_back("index: " + std::to_string(read_) +
                                 " files not stored: " + store_.LastError());
      report_.skipped += read_;
    }
    pending_ = read_ = removed_ = 0;
  }

 private:
  void BeforeWrite() {
    if (pending_ == 0) {
      store_.Begin();
      started_ = std::chrono::steady_clock::now();
    }
  }
  void AfterWrite() {
    ++pending_;
    if (pending_ >= kBatchFiles || std::chrono::steady_clock::now() - started_ >= kBatchTime) {
      Flush();
    }
  }

  Store& store_;
  ScanReport& report_;
  std::size_t pending_ = 0;
  std::size_t read_ = 0;
  std::size_t removed_ = 0;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace

bool IsLibraryFile(const fs::path& file) {
  const std::string extension = Extension(file);
  return extension == ".lrc" || extension == ".txt" || IsAudioExtension(extension);
}

bool ReadLyricsFile(const fs::path& file, const CodePage& codePage, std::vector<Song>& songs,
                    std::string& problem) {
  songs.clear();
  problem.clear();
  try {
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (error) {
      problem = error.message();
      return false;
    }
    if (!fs::is_regular_file(status)) {
      problem = "not a regular file";
      return false;
    }
    const std::string extension = Extension(file);
    if (extension == ".lrc" || extension == ".txt") {
      return ReadText(file, extension, codePage, songs, problem);
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

  const std::size_t total = walk.files.size();
  if (progress) progress(0, total);
  Batch batch(store, report);
  std::vector<Song> songs;
  std::string problem;
  std::unordered_set<std::string> present;
  present.reserve(total);
  for (std::size_t i = 0; i < total; ++i) {
    // Files not yet looked at are not known to be gone, so nothing is removed either.
    if (stop.stop_requested()) return report;
    const Candidate& file = walk.files[i];
    present.insert(file.path);
    if (store.Stamp(file.path) == file.stamp) {
      ++report.unchanged;
    } else if (ReadLyricsFile(file.path, codePage, songs, problem)) {
      batch.Put(file, songs);
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
  batch.Flush();
  if (report.read + report.removed > 0 && !stop.stop_requested() && !store.OptimizeSearch())
    report.problems.push_back("index: search not optimized: " + store.LastError());
  return report;
}

ProgressBar::ProgressBar(std::FILE* stream)
    : stream_(stream), terminal_(stream != nullptr && ::isatty(::fileno(stream)) == 1) {}

void ProgressBar::operator()(std::size_t done, std::size_t total) {
  if (!terminal_ || total < kBarMinFiles) return;
  done = std::min(done, total);
  const int percent = static_cast<int>(done * 100 / total);
  const auto now = std::chrono::steady_clock::now();
  const bool last = done == total;
  if (!last && (percent == lastPercent_ || now - lastDraw_ < kBarInterval)) return;
  if (last && percent == lastPercent_ && drawnLast_) return;
  lastPercent_ = percent;
  lastDraw_ = now;
  drawnLast_ = last;
  const std::size_t filled = done * kBarWidth / total;
  const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  std::fprintf(stream_, "\r[%s] %zu/%zu files", bar.c_str(), done, total);
  std::fflush(stream_);
}

void ProgressBar::Finish() {
  if (lastPercent_ < 0) return;  // nothing drawn
  std::fputc('\n', stream_);
  std::fflush(stream_);
  lastPercent_ = -1;
  drawnLast_ = false;
}

}  // namespace talvo
