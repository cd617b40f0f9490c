// The tag read on a real 4 MiB media file whose pages are cached: ReadTagBlock against the POSIX
// floor (open, seek, one read, close, the marker check and the trims, by hand) and against TagLib
// reading the same block's title and artist.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <taglib/id3v1tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tfile.h>
#include <taglib/tfilestream.h>

#include "allocations.h"
#include "identify/identify.h"

namespace {

constexpr std::size_t kFileSize = std::size_t{4} * 1024 * 1024;

// The ID3v1 layout, for the floor and for writing the file.
constexpr std::size_t kBlockSize = 128;
constexpr std::size_t kMarkerSize = 3;
constexpr std::size_t kTitleOffset = 3;
constexpr std::size_t kArtistOffset = 33;
constexpr std::size_t kFieldSize = 30;

// MPEG-1 layer III frames at 128 kbit/s and 44.1 kHz, 417 bytes each: what an MP3 player's
// file holds, so TagLib's MPEG reader finds a frame where it expects one.
constexpr unsigned char kFrameHeader[] = {0xFF, 0xFB, 0x90, 0x00};
constexpr std::size_t kFrameSize = 417;

std::string Field(const char* text) {
  std::string field(text);
  field.resize(kFieldSize, ' ');  // padded with spaces, so the trims have work to do
  return field;
}

// A 4 MiB file of audio frames ending in an ID3v1 block, made once per run and removed at exit.
class MediaFile {
 public:
  MediaFile() {
    path_ = (std::filesystem::temp_directory_path() / "talvo-bench-XXXXXX.mp3").string();
    const int fd = mkstemps(path_.data(), 4);
    if (fd < 0) {
      path_.clear();
      return;
    }
    std::vector<unsigned char> bytes(kFileSize - kBlockSize, 0);
    for (std::size_t at = 0; at + kFrameSize <= bytes.size(); at += kFrameSize) {
      std::memcpy(&bytes[at], kFrameHeader, sizeof kFrameHeader);
    }
    const std::string block = "TAG" + Field("Night Song") + Field("Some Band") +
                              Field("Night Songs") + "2004" + Field("") + '\x0c';
    bytes.insert(bytes.end(), block.begin(), block.end());
    const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(kFileSize);
    close(fd);
    if (!written) path_.clear();
  }
  ~MediaFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  MediaFile(const MediaFile&) = delete;
  MediaFile& operator=(const MediaFile&) = delete;

  // Empty when the file could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& MediaPath() {
  static const MediaFile file;
  return file.path();
}

void TrimField(char* field) {
  for (std::size_t i = kFieldSize - 1; i > 0 && field[i] == ' '; --i) field[i] = '\0';
}

// The least a reader can do: the same system calls as ReadTagBlock, no checks beyond the
// block's length and marker.
int FloorReadTag(const char* fileName, char (&block)[kBlockSize]) {
  const int fd = open(fileName, O_RDONLY);
  if (fd < 0) return 0;
  const bool read = lseek(fd, -static_cast<off_t>(kBlockSize), SEEK_END) >= 0 &&
                    ::read(fd, block, kBlockSize) == static_cast<ssize_t>(kBlockSize);
  close(fd);
  if (!read || std::memcmp(block, "TAG", kMarkerSize) != 0) return 0;
  TrimField(block + kTitleOffset);
  TrimField(block + kArtistOffset);
  return 1;
}

// TagLib's File is abstract; this one exists only to hand TagLib's ID3v1 reader an open stream.
class StreamFile : public TagLib::File {
 public:
  explicit StreamFile(TagLib::IOStream* stream) : TagLib::File(stream) {}
  TagLib::Tag* tag() const override { return nullptr; }
  TagLib::AudioProperties* audioProperties() const override { return nullptr; }
  bool save() override { return false; }
};

bool Expect(benchmark::State& state, bool ok, const char* what) {
  if (!ok) state.SkipWithError(what);
  return ok;
}

void TagReadOurs(benchmark::State& state) {
  const std::string& path = MediaPath();
  if (!Expect(state,
              ReadTagBlock(path.c_str()) == 1 &&
                  std::strncmp(tagBlock.TagTitle, "Night Song", kFieldSize) == 0,
              "ReadTagBlock does not find the block")) {
    return;
  }
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(ReadTagBlock(path.c_str()));
    benchmark::DoNotOptimize(tagBlock);
  }
  ReportAllocations(state, before);
}

void TagReadPosixFloor(benchmark::State& state) {
  const std::string& path = MediaPath();
  char block[kBlockSize];
  if (!Expect(state, FloorReadTag(path.c_str(), block) == 1, "the floor does not find the block")) {
    return;
  }
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(FloorReadTag(path.c_str(), block));
    benchmark::DoNotOptimize(block);
  }
  ReportAllocations(state, before);
}

// Opening the file by name and closing it again, nothing read: the part of every reader's cost
// that no reader can shed. TagLib's time over this bounds what any reader can gain on TagLib.
void TagReadOpenClose(benchmark::State& state) {
  const std::string& path = MediaPath();
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) {
    const int fd = open(path.c_str(), O_RDONLY);
    benchmark::DoNotOptimize(fd);
    if (fd >= 0) close(fd);
  }
  ReportAllocations(state, before);
}

// The cheapest TagLib allows: its ID3v1 reader alone on a read-only stream, no format probing.
bool TagLibId3v1(const char* fileName, std::string& title, std::string& artist) {
  TagLib::FileStream stream(fileName, true);
  StreamFile file(&stream);
  if (!file.isValid()) return false;
  const TagLib::ID3v1::Tag tag(&file, file.length() - static_cast<long>(kBlockSize));
  title = tag.title().to8Bit();
  artist = tag.artist().to8Bit();
  return true;
}

// What a TagLib user would write for an MP3: the MPEG file without audio properties.
bool TagLibMpeg(const char* fileName, std::string& title, std::string& artist) {
  TagLib::MPEG::File file(fileName, false);
  TagLib::ID3v1::Tag* tag = file.ID3v1Tag();
  if (tag == nullptr) return false;
  title = tag->title().to8Bit();
  artist = tag->artist().to8Bit();
  return true;
}

template <bool (*Read)(const char*, std::string&, std::string&)>
void TagReadTagLib(benchmark::State& state) {
  const std::string& path = MediaPath();
  std::string title;
  std::string artist;
  if (!Expect(state, Read(path.c_str(), title, artist) && title == "Night Song",
              "TagLib does not find the block")) {
    return;
  }
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(Read(path.c_str(), title, artist));
    benchmark::DoNotOptimize(title.data());
    benchmark::DoNotOptimize(artist.data());
  }
  ReportAllocations(state, before);
}

BENCHMARK(TagReadOurs)->Name("tag_read/ours")->Apply(WithSpread);
BENCHMARK(TagReadPosixFloor)->Name("tag_read/posix_floor")->Apply(WithSpread);
BENCHMARK(TagReadOpenClose)->Name("tag_read/open_close")->Apply(WithSpread);
BENCHMARK(TagReadTagLib<TagLibId3v1>)->Name("tag_read/taglib_id3v1")->Apply(WithSpread);
BENCHMARK(TagReadTagLib<TagLibMpeg>)->Name("tag_read/taglib_mpeg")->Apply(WithSpread);

}  // namespace
