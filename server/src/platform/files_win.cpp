#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <string_view>
#include <utility>

#include "platform/files.h"

namespace talvo::files {

namespace fs = std::filesystem;

namespace {

// FILETIME counts 100 ns steps from 1601; the index counts nanoseconds from 1970.
constexpr std::int64_t kFiletimeTo1970 = 116'444'736'000'000'000LL;
// Names this long need the \\?\ prefix (folders: 12 less, room for an 8.3 file name).
constexpr std::size_t kShortPathLimit = MAX_PATH - 12;

// A handle is a pointer-sized number: the Reader and Writer keep it as one, as on Linux.
HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

std::string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text),
      0, nullptr);  // NOLINT: the API's own convention
  std::wstring message(text != nullptr ? text : L"", length);
  LocalFree(text);
  while (!message.empty() &&
         (message.back() == L'\r' || message.back() == L'\n' || message.back() == L'.'))
    message.pop_back();
  if (message.empty()) return "system error " + std::to_string(code);
  return PathToUtf8(fs::path(message));
}

// An opened handle as the Reader and Writer keep it; false, with problem set, for a failed open.
bool Keep(HANDLE handle, std::intptr_t& kept, std::string& problem) {
  if (handle == INVALID_HANDLE_VALUE) {
    problem = LastErrorText();
    return false;
  }
  kept = reinterpret_cast<std::intptr_t>(
      handle);  // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
  return true;
}

// The name as the wide-character APIs take it, past MAX_PATH too.
std::wstring SystemName(const fs::path& path) {
  const std::wstring& name = path.native();
  if (name.size() < kShortPathLimit || name.starts_with(L"\\\\?\\")) return name;
  const DWORD needed = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return name;
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return name;
  full.resize(length);
  if (full.starts_with(L"\\\\.\\")) return full;  // a device name: left as it is
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::int64_t UnixNs(FILETIME time) {
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  return (static_cast<std::int64_t>(ticks) - kFiletimeTo1970) * 100;
}

std::optional<Status> StatusOfHandle(HANDLE handle, std::string& problem) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) == 0) {
    problem = LastErrorText();
    return std::nullopt;
  }
  return Status{.regular = GetFileType(handle) == FILE_TYPE_DISK &&
                           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0,
                .size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                .mtimeNs = UnixNs(info.ftLastWriteTime)};
}

// Opened sharing everything, so a file another program has open is still read; a folder opens
// too (backup semantics) and is then seen not to be regular.
HANDLE OpenForLooking(const fs::path& path, DWORD access) {
  return CreateFileW(SystemName(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool IsNotFound(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// A link's entry looked at through the link, as the listing itself tells only of the link.
void LookThrough(Entry& entry) {
  HANDLE handle = OpenForLooking(entry.path, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    entry.problem = LastErrorText();
    // A link whose target is missing is a disk not mounted, not a deletion.
    entry.gone = IsNotFound(code) &&
                 GetFileAttributesW(SystemName(entry.path).c_str()) == INVALID_FILE_ATTRIBUTES &&
                 IsNotFound(GetLastError());
    return;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(handle, &info) == 0) {
    entry.problem = LastErrorText();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    entry.kind = Entry::Kind::kFolder;
  } else if (GetFileType(handle) == FILE_TYPE_DISK) {
    entry.kind = Entry::Kind::kRegular;
    entry.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    entry.mtimeNs = UnixNs(info.ftLastWriteTime);
  }
  CloseHandle(handle);
}

Entry EntryOf(fs::path path, const WIN32_FIND_DATAW& found) {
  Entry entry;
  entry.path = std::move(path);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    LookThrough(entry);
  } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    entry.kind = Entry::Kind::kFolder;
  } else {
    entry.kind = Entry::Kind::kRegular;
    entry.size = (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow;
    entry.mtimeNs = UnixNs(found.ftLastWriteTime);
  }
  return entry;
}

}  // namespace

fs::path PathFromUtf8(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(std::min<std::size_t>(utf8.size(), INT_MAX));
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return fs::path(std::move(wide));
}

std::string PathToUtf8(const fs::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  const int size = static_cast<int>(std::min<std::size_t>(wide.size(), INT_MAX));
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
  return utf8;
}

bool ListFolder(const fs::path& folder, const std::function<void(const Entry&)>& each,
                std::string& problem) {
  std::wstring pattern = SystemName(folder);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // a drive's empty root
    problem = LastErrorText();
    return false;
  }
  bool listed = true;
  for (;;) {
    const std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") each(EntryOf(folder / fs::path(std::wstring(name)), found));
    if (FindNextFileW(search, &found) == 0) {
      if (GetLastError() != ERROR_NO_MORE_FILES) {
        problem = LastErrorText();
        listed = false;
      }
      break;
    }
  }
  FindClose(search);
  return listed;
}

std::optional<std::string> FolderIdentity(const fs::path& folder, std::string& problem) {
  // The volume and file numbers, not the final name: Wine gives no final name past MAX_PATH.
  HANDLE handle = OpenForLooking(folder, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) {
    problem = LastErrorText();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(handle, &info) != 0;
  if (!known) problem = LastErrorText();
  CloseHandle(handle);
  if (!known) return std::nullopt;
  return std::to_string(info.dwVolumeSerialNumber) + ':' +
         std::to_string((std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow);
}

fs::path SystemPath(const fs::path& path) {
  return SystemName(path);
}

std::optional<Status> StatusOf(const fs::path& path, std::string& problem) {
  HANDLE handle = OpenForLooking(path, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) {
    problem = LastErrorText();
    return std::nullopt;
  }
  auto status = StatusOfHandle(handle, problem);
  CloseHandle(handle);
  return status;
}

Reader::~Reader() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

bool Reader::Open(const fs::path& path, std::string& problem) {
  return Keep(OpenForLooking(path, GENERIC_READ), handle_, problem);
}

std::optional<Status> Reader::Stat(std::string& problem) const {
  return StatusOfHandle(AsHandle(handle_), problem);
}

// NOLINTNEXTLINE(readability-make-member-function-const): moves the file's position
std::optional<std::size_t> Reader::Read(char* data, std::size_t size, std::string& problem) {
  DWORD got = 0;
  const auto want = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  if (ReadFile(AsHandle(handle_), data, want, &got, nullptr) == 0) {
    problem = LastErrorText();
    return std::nullopt;
  }
  return got;
}

Writer::~Writer() {
  if (handle_ != -1) CloseHandle(AsHandle(handle_));
}

bool Writer::Create(const fs::path& path, std::string& problem) {
  return Keep(CreateFileW(SystemName(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              handle_, problem);
}

// NOLINTNEXTLINE(readability-make-member-function-const): writes the file
bool Writer::Write(const char* data, std::size_t size, std::string& problem) {
  for (std::size_t written = 0; written < size;) {
    DWORD n = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(size - written, MAXDWORD));
    if (WriteFile(AsHandle(handle_), data + written, want, &n, nullptr) == 0 || n == 0) {
      problem = LastErrorText();
      return false;
    }
    written += n;
  }
  return true;
}

bool Writer::Close(std::string& problem) {
  HANDLE handle = AsHandle(handle_);
  handle_ = -1;
  if (CloseHandle(handle) == 0) {
    problem = LastErrorText();
    return false;
  }
  return true;
}

bool RemoveFile(const fs::path& path, std::string& problem) {
  if (DeleteFileW(SystemName(path).c_str()) == 0) {
    problem = LastErrorText();
    return false;
  }
  return true;
}

int OpenDescriptor(const fs::path& path) {
  return _wopen(SystemName(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

void CloseDescriptor(int descriptor) {
  _close(descriptor);
}

}  // namespace talvo::files
