#include "sources/dump_file.h"

#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

// Gzip unpacking goes through a buffer this size: big enough that the system calls are few.
constexpr std::size_t kUnpackChunk = std::size_t{1} << 20;

// The SQLite file header: where its fields are, and what it starts with.
constexpr std::size_t kHeaderBytes = 100;
constexpr std::string_view kSqliteMagic{"SQLite format 3\0", 16};
constexpr std::size_t kPageSizeAt = 16;
constexpr std::size_t kChangeCounterAt = 24;
constexpr std::size_t kPageCountAt = 28;
constexpr std::size_t kValidForAt = 92;
constexpr std::array<unsigned char, 2> kGzipMagic = {0x1f, 0x8b};

std::uint32_t BigEndian(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The file's first bytes (fewer when it is shorter) and its status, from one open. False with
// error when it cannot be read or is no regular file: a pipe would stall SQLite, a folder fail it.
bool ReadStart(const fs::path& file, std::string& bytes, files::Status& status,
               std::string& error) {
  files::Reader reader;
  if (!reader.Open(file, error)) return false;
  const auto info = reader.Stat(error);
  if (!info) return false;
  if (!info->regular) {
    error = "not a regular file";
    return false;
  }
  status = *info;
  bytes.assign(kHeaderBytes, '\0');
  std::size_t size = 0;
  while (size < bytes.size()) {
    const auto got = reader.Read(bytes.data() + size, bytes.size() - size, error);
    if (!got) return false;
    if (*got == 0) break;
    size += *got;
  }
  bytes.resize(size);
  return true;
}

bool IsGzip(const std::string& start) {
  return start.size() >= kGzipMagic.size() &&
         static_cast<unsigned char>(start[0]) == kGzipMagic[0] &&
         static_cast<unsigned char>(start[1]) == kGzipMagic[1];
}

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

}  // namespace

DumpFile::~DumpFile() {
  std::string ignored;
  if (unpacked_) files::RemoveFile(unpackTo_, ignored);
}

bool DumpFile::Prepare(const fs::path& file, const std::stop_token& stop, std::string& error) {
  std::string start;
  files::Status status;
  if (!ReadStart(file, start, status, error)) return false;
  stamp_ = {static_cast<std::int64_t>(status.size), status.mtimeNs};
  database_ = file;
  if (IsGzip(start)) {
    if (!Unpack(file, stop, error)) return false;
    database_ = unpackTo_;
    if (!ReadStart(database_, start, status, error)) return false;
  }
  return CheckSqliteHeader(start, status.size, error);
}

bool DumpFile::Unpack(const fs::path& gzipped, const std::stop_token& stop, std::string& error) {
  const int fd = files::OpenDescriptor(gzipped);
  if (fd < 0) {
    error =
        "cannot read " + files::PathToUtf8(gzipped) + ": " + std::generic_category().message(errno);
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
  if (!out.Create(unpackTo_, problem)) {
    error = "cannot unpack to " + files::PathToUtf8(unpackTo_) + ": " + problem;
    return false;
  }
  unpacked_ = true;
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
      error = "cannot unpack to " + files::PathToUtf8(unpackTo_) + ": " + problem;
      ok = false;
      break;
    }
  }
  if (!out.Close(problem) && ok) {
    error = "cannot unpack to " + files::PathToUtf8(unpackTo_) + ": " + problem;
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

}  // namespace talvo
