#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/files.h"

namespace talvo::files {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText() {
  return std::generic_category().message(errno);
}

Status FromStat(const struct stat& info) {
  return {.regular = S_ISREG(info.st_mode),
          .size = static_cast<std::uint64_t>(info.st_size),
          .mtimeNs = info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
}

}  // namespace

fs::path PathFromUtf8(std::string_view utf8) {
  return fs::path(utf8);
}

std::string PathToUtf8(const fs::path& path) {
  return path.native();
}

bool ListFolder(const fs::path& folder, const std::function<void(const Entry&)>& each,
                std::string& problem) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    Entry entry;
    entry.path = it->path();
    struct stat info {};
    if (::stat(entry.path.c_str(), &info) != 0) {
      const int code = errno;
      entry.problem = std::generic_category().message(code);
      // A link whose target is missing is a disk not mounted, not a deletion.
      struct stat own {};
      entry.gone = (code == ENOENT || code == ENOTDIR) && ::lstat(entry.path.c_str(), &own) != 0 &&
                   (errno == ENOENT || errno == ENOTDIR);
    } else if (S_ISDIR(info.st_mode)) {
      entry.kind = Entry::Kind::kFolder;
    } else if (S_ISREG(info.st_mode)) {
      const Status status = FromStat(info);
      entry.kind = Entry::Kind::kRegular;
      entry.size = status.size;
      entry.mtimeNs = status.mtimeNs;
    }
    each(entry);
  }
  if (error) problem = error.message();
  return !error;
}

std::optional<std::string> FolderIdentity(const fs::path& folder, std::string& problem) {
  std::error_code error;
  const fs::path real = fs::canonical(folder, error);
  if (error) {
    problem = error.message();
    return std::nullopt;
  }
  return real.native();
}

fs::path SystemPath(const fs::path& path) {
  return path;
}

std::optional<Status> StatusOf(const fs::path& path, std::string& problem) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    problem = ErrnoText();
    return std::nullopt;
  }
  return FromStat(info);
}

Reader::~Reader() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool Reader::Open(const fs::path& path, std::string& problem) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    problem = ErrnoText();
    return false;
  }
  handle_ = fd;
  return true;
}

std::optional<Status> Reader::Stat(std::string& problem) const {
  struct stat info {};
  if (::fstat(static_cast<int>(handle_), &info) != 0) {
    problem = ErrnoText();
    return std::nullopt;
  }
  return FromStat(info);
}

// NOLINTNEXTLINE(readability-make-member-function-const): moves the file's position
std::optional<std::size_t> Reader::Read(char* data, std::size_t size, std::string& problem) {
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(handle_), data, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) {
      problem = ErrnoText();
      return std::nullopt;
    }
  }
}

Writer::~Writer() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool Writer::Create(const fs::path& path, std::string& problem) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    problem = ErrnoText();
    return false;
  }
  handle_ = fd;
  return true;
}

// NOLINTNEXTLINE(readability-make-member-function-const): writes the file
bool Writer::Write(const char* data, std::size_t size, std::string& problem) {
  for (std::size_t written = 0; written < size;) {
    const ssize_t n = ::write(static_cast<int>(handle_), data + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      problem = ErrnoText();
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

bool Writer::Close(std::string& problem) {
  const int fd = static_cast<int>(handle_);
  handle_ = -1;
  if (::close(fd) != 0) {
    problem = ErrnoText();
    return false;
  }
  return true;
}

bool RemoveFile(const fs::path& path, std::string& problem) {
  if (::unlink(path.c_str()) != 0) {
    problem = ErrnoText();
    return false;
  }
  return true;
}

int OpenDescriptor(const fs::path& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

void CloseDescriptor(int descriptor) {
  ::close(descriptor);
}

}  // namespace talvo::files
