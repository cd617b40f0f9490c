// The file system calls that differ between Linux and Windows, so the rest reads files, names them
// in messages and in the index, and writes the dump's unpacked copy the same way on both.
//
// Names: a path's text is UTF-8 wherever it leaves a std::filesystem::path (the index, SQLite,
// messages). On Linux that is the name's own bytes, unchanged; on Windows the wide name converted,
// a lone surrogate (no valid UTF-16) becoming U+FFFD. Every call here takes any name the system
// holds: on Windows wide-character APIs, with the \\?\ prefix for names past MAX_PATH.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace talvo::files {

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string PathToUtf8(const std::filesystem::path& path);

struct Status {
  bool regular = false;
  std::uint64_t size = 0;
  std::int64_t mtimeNs = 0;  // nanoseconds since 1970-01-01 UTC, as the dump's stamp is stored
};

// The status of path, through links; nullopt with problem set when it cannot be looked at.
std::optional<Status> StatusOf(const std::filesystem::path& path, std::string& problem);

// One entry of a folder's listing, looked at through links.
struct Entry {
  enum class Kind { kFolder, kRegular, kOther };
  std::filesystem::path path;
  Kind kind = Kind::kOther;
  std::uint64_t size = 0;    // of a regular file
  std::int64_t mtimeNs = 0;  // of a regular file, as Status counts it
  std::string problem;       // why it could not be looked at, or ""
  bool gone = false;  // with problem: the name itself is no longer there, not only its target
};

// Gives each entry of folder but "." and ".."; false with problem set when the folder cannot be
// listed, or stops being listable part way.
bool ListFolder(const std::filesystem::path& folder, const std::function<void(const Entry&)>& each,
                std::string& problem);

// The same text for a folder however it is reached (through links, and on Windows by its short
// name or in another case), so a walk can tell a folder it has been in; nullopt with problem set.
std::optional<std::string> FolderIdentity(const std::filesystem::path& folder,
                                          std::string& problem);

// The name to give libraries that open files themselves: on Windows with the \\?\ prefix when it
// is past MAX_PATH.
std::filesystem::path SystemPath(const std::filesystem::path& path);

// A file opened for reading without blocking: a pipe or a device that took a file's name opens
// and is then seen not to be regular, instead of stalling the caller in the open.
class Reader {
 public:
  Reader() = default;
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool Open(const std::filesystem::path& path, std::string& problem);
  std::optional<Status> Stat(std::string& problem) const;
  // Bytes read into data, 0 at the end; nullopt with problem set on an error.
  std::optional<std::size_t> Read(char* data, std::size_t size, std::string& problem);

 private:
  std::intptr_t handle_ = -1;
};

// A new file written only by this process (0600 on Linux, not shared on Windows); one that was
// there is replaced.
class Writer {
 public:
  Writer() = default;
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  bool Create(const std::filesystem::path& path, std::string& problem);
  bool Write(const char* data, std::size_t size, std::string& problem);
  // Whether everything written reached the file; the file is closed either way.
  bool Close(std::string& problem);

 private:
  std::intptr_t handle_ = -1;
};

// Removes the file at path; false with problem set when it cannot be (one not there included).
bool RemoveFile(const std::filesystem::path& path, std::string& problem);

// A descriptor of the C runtime open for reading, for libraries that take one (zlib's gzdopen);
// -1 with errno set when it cannot be opened.
int OpenDescriptor(const std::filesystem::path& path);
void CloseDescriptor(int descriptor);

}  // namespace talvo::files
