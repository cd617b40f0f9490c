#include "sandbox.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kTagField = 30;
constexpr char kFolderPrefix[] = "talvo-tests-";

bool Running(DWORD process) {
  HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, process);
  if (handle == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
  CloseHandle(handle);
  return running;
}

// The plugin copies stay mapped until their process ends, so a run cannot remove its own folder
// whole: each run removes what finished runs left.
void RemoveFinished(const fs::path& temp) {
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(temp, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kFolderPrefix, 0) != 0) continue;
    const unsigned long process =
        std::strtoul(name.c_str() + sizeof kFolderPrefix - 1, nullptr, 10);
    if (process == GetCurrentProcessId() || !Running(process)) fs::remove_all(entry.path(), error);
  }
}

std::string Field(std::string_view text, char pad) {
  std::string field(text.substr(0, kTagField));
  field.resize(kTagField, pad);
  return field;
}

}  // namespace

const Sandbox& Sandbox::Get() {
  static const Sandbox sandbox;
  return sandbox;
}

Sandbox::Sandbox() {
  std::error_code error;
  const fs::path temp = fs::temp_directory_path(error);
  RemoveFinished(temp);
  const fs::path folder = temp / (kFolderPrefix + std::to_string(GetCurrentProcessId()));
  fs::create_directories(folder, error);
  folder_ = folder.string();
}

Sandbox::~Sandbox() {
  // Best effort: the plugin copies stay mapped (pinned) until the process is gone.
  std::error_code error;
  fs::remove_all(folder_, error);
}

std::string Sandbox::Path(std::string_view name) const {
  return folder_ + "\\" + std::string(name);
}

bool Sandbox::Write(std::string_view name, std::string_view bytes) const {
  const fs::path path = Path(name);
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file.good();
}

bool Sandbox::MakeFolder(std::string_view name) const {
  std::error_code error;
  fs::create_directories(Path(name), error);
  return !error;
}

bool Sandbox::Copy(const std::string& from, std::string_view name) const {
  const fs::path path = Path(name);
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  return fs::copy_file(from, path, fs::copy_options::overwrite_existing, error);
}

std::string Sandbox::CopyPlugin() const {
  static std::atomic<int> copies{0};
  const std::string name = "gen_talvolyrics-" + std::to_string(++copies) + ".dll";
  return Copy(BesideProgram("gen_talvolyrics.dll"), name) ? name : std::string();
}

std::string BesideProgram(std::string_view name) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length < MAX_PATH ? length : 0);
  folder.resize(folder.find_last_of('\\') + 1);
  return folder + std::string(name);
}

std::string Id3v1Block(std::string_view title, std::string_view artist, char pad) {
  std::string block = "TAG" + Field(title, pad) + Field(artist, pad) + Field("Album", ' ');
  block += "1999";
  block += Field("", '\0');
  block += '\x0c';  // genre
  return block;
}
