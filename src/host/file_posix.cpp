// ReadFileTail over POSIX, for native builds: the same answers as the Win32 reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/host.h"

namespace {

bool ReadTail(int fd, char* out, std::size_t size) {
  // Only regular files: a FIFO or a device could block, a directory has no tail.
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  if (info.st_size < static_cast<off_t>(size)) return false;
  off_t offset = info.st_size - static_cast<off_t>(size);
  while (size > 0) {
    const ssize_t got = pread(fd, out, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

}  // namespace

bool ReadFileTail(const char* fileName, void* out, std::size_t size) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(fileName, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = ReadTail(fd, static_cast<char*>(out), size);
  close(fd);
  return read;
}
