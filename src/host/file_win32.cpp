// ReadFileTail over Win32.
#include "host/host.h"

namespace {

bool ReadTail(HANDLE file, void* out, DWORD size) {
  // Only disk files: a pipe or a device could block the player's window thread in ReadFile.
  LARGE_INTEGER length{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &length)) return false;
  if (length.QuadPart < static_cast<LONGLONG>(size)) return false;
  // 64-bit positions, so a tag at the end of a file over 4 GiB is found.
  LARGE_INTEGER start{};
  start.QuadPart = length.QuadPart - size;
  DWORD got = 0;
  return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
         ReadFile(file, out, size, &got, nullptr) && got == size;
}

}  // namespace

bool ReadFileTail(const char* fileName, void* out, std::size_t size) {
  // Share everything: the player itself may hold the file open while it plays.
  HANDLE file =
      CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool read = ReadTail(file, out, static_cast<DWORD>(size));
  CloseHandle(file);
  return read;
}
