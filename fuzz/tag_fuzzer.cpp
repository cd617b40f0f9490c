// ReadTagBlock on arbitrary file contents: the whole input is written to a real file, which is
// then read by name, so the size checks of the file reader are exercised too. The same file then
// goes through ComposePageAddress, whose address must carry the trimmed fields or, without a tag,
// the caption.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "checks.h"
#include "fake_host/fake_host.h"
#include "identify/identify.h"
#include "watcher/watcher.h"

namespace {

constexpr std::size_t kBlockSize = 128;
constexpr std::size_t kFieldSize = 30;
constexpr std::size_t kTitleAt = 3;
constexpr std::size_t kArtistAt = kTitleAt + kFieldSize;

// One file per process, rewritten for every input, removed at exit.
class ScratchFile {
 public:
  ScratchFile() {
    path_ = (std::filesystem::temp_directory_path() / "talvo-tag-XXXXXX").string();
    fd_ = mkstemp(path_.data());
    Require(fd_ >= 0, "a scratch file can be made in TMPDIR");
  }
  ~ScratchFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const char* path() const { return path_.c_str(); }

  // Overwritten in place and then cut to size: truncating to zero each time would make ext4 flush
  // the file to disk on every input.
  void Write(const std::uint8_t* data, std::size_t size) const {
    off_t offset = 0;
    for (std::size_t left = size; left > 0;) {
      const ssize_t wrote = pwrite(fd_, data, left, offset);
      Require(wrote > 0, "the scratch file takes the input");
      data += wrote;
      offset += wrote;
      left -= static_cast<std::size_t>(wrote);
    }
    Require(ftruncate(fd_, offset) == 0, "the scratch file is cut to the input's size");
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Bytes of a raw field left by the trim: all but a run of spaces reaching the field's end, and
// never position 0.
std::size_t KeptLength(const unsigned char* raw) {
  std::size_t kept = kFieldSize;
  while (kept > 1 && raw[kept - 1] == ' ') --kept;
  return kept;
}

// A field of the block as read against the raw bytes: position 0 as it was, then the raw bytes
// up to where a run of spaces reaching the field's end began, then only NULs.
void CheckField(const unsigned char* field, const unsigned char* raw) {
  Require(field[0] == raw[0], "position 0 of a field is never trimmed");
  const std::size_t kept = KeptLength(raw);
  for (std::size_t i = 1; i < kFieldSize; ++i) {
    if (i < kept) {
      Require(field[i] == raw[i], "only spaces that run up to the field's end are trimmed");
    } else {
      Require(field[i] == '\0', "every space that runs up to the field's end is trimmed");
    }
  }
}

// The text the watcher takes from a field: the trimmed bytes up to a NUL, at most all 30.
std::string FieldText(const unsigned char* raw) {
  const std::string field(reinterpret_cast<const char*>(raw), KeptLength(raw));
  return field.substr(0, field.find('\0'));
}

void CheckAddress(const char* fileName, const unsigned char* raw) {
  FakeHost host;
  host.caption = "Caption Song - Winamp";
  const auto query = ReadShowPageAddress(ComposePageAddress(fileName, host.window()));
  Require(query.has_value(), "the address is well formed");
  if (raw == nullptr) {
    Require(query->title == "Caption Song" && query->singer.empty(),
            "without a tag the address carries the caption and no singer");
  } else {
    Require(query->title == FieldText(raw + kTitleAt), "the address carries the trimmed title");
    Require(query->singer == FieldText(raw + kArtistAt), "the address carries the trimmed artist");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchFile file;
  file.Write(data, size);

  const unsigned char* raw = size >= kBlockSize ? data + size - kBlockSize : nullptr;
  const bool hasTag = raw != nullptr && std::memcmp(raw, "TAG", 3) == 0;
  const int answer = ReadTagBlock(file.path());
  Require(answer == (hasTag ? 1 : 0), "a tag is 128 bytes or more that end in a block with TAG");
  if (hasTag) {
    const auto* block = reinterpret_cast<const unsigned char*>(&tagBlock);
    for (std::size_t i = 0; i < kBlockSize; ++i) {
      if (i >= kTitleAt && i < kArtistAt + kFieldSize) continue;
      Require(block[i] == raw[i], "bytes outside the title and artist are the file's own");
    }
    CheckField(block + kTitleAt, raw + kTitleAt);
    CheckField(block + kArtistAt, raw + kArtistAt);
  }
  CheckAddress(file.path(), hasTag ? raw : nullptr);
  return 0;
}
