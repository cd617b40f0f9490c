#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <cstdio>
#include <memory>

#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/system.h"

namespace talvo::system {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* kShortcutName = L"Talvo Lyrics Server.lnk";

std::optional<fs::path> KnownFolder(const KNOWNFOLDERID& id) {
  wchar_t* folder = nullptr;
  const HRESULT result = SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &folder);
  std::optional<fs::path> path;
  if (SUCCEEDED(result) && folder != nullptr && *folder != L'\0') path = fs::path(folder);
  CoTaskMemFree(folder);
  return path;
}

std::wstring Wide(const std::string& utf8) {
  return files::PathFromUtf8(utf8).native();
}

std::string ResultText(const char* what, HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  return std::string(what) + " failed (" + code + ")";
}

std::optional<fs::path> ShortcutPath(std::string& error) {
  const auto startup = KnownFolder(FOLDERID_Startup);
  if (!startup) error = "the Startup folder is not known for this user";
  return startup ? std::optional(*startup / kShortcutName) : std::nullopt;
}

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};

// COM for this thread while it lives; left as it was when the thread had it already.
class ComScope {
 public:
  ComScope() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool Usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
  HRESULT Result() const { return result_; }

 private:
  HRESULT result_;
};

}  // namespace

std::vector<std::string> CommandLine(int argc, char** argv) {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return {argv, argv + argc};
  std::vector<std::string> line;
  line.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) line.push_back(files::PathToUtf8(fs::path(words[i])));
  LocalFree(static_cast<void*>(words));
  return line;
}

void UseUtf8Console() {
  SetConsoleOutputCP(CP_UTF8);
}

std::optional<fs::path> DefaultLibrary() {
  return KnownFolder(FOLDERID_Music);
}

fs::path DefaultIndexPath() {
  const fs::path file = fs::path(L"Talvo Lyrics") / L"library.db";
  if (const auto data = KnownFolder(FOLDERID_LocalAppData)) return *data / file;
  return file.filename();
}

std::string DefaultCodePage() {
  return "cp" + std::to_string(GetACP());
}

const Help& HelpText() {
  static const Help help{
      .usage = "[--library DIR...]",
      .library = "\n                           (default: your Music folder)",
      .index = "                           %LOCALAPPDATA%\\Talvo Lyrics\\library.db)",
      .codePage = "                           (default: Windows' own, as cp1252; cp949, cp932 ...)",
      .rescan = "",
      .startup =
          "  --install-startup        start with your Windows session: a shortcut in your\n"
          "                           Startup folder runs this program with the other\n"
          "                           options given here, then exit\n"
          "  --uninstall-startup      remove that shortcut, then exit\n"};
  return help;
}

std::optional<fs::path> InstallStartup(const std::vector<std::string>& arguments,
                                       std::string& error) {
  auto shortcut = ShortcutPath(error);
  if (!shortcut) return std::nullopt;
  std::wstring program(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
    if (length == 0) {
      error = "this program's own file name is not known";
      return std::nullopt;
    }
    if (length < program.size()) {
      program.resize(length);
      break;
    }
    program.resize(program.size() * 2);
  }
  std::error_code ignored;
  const fs::path folder = fs::current_path(ignored);

  const ComScope com;
  if (!com.Usable()) {
    error = ResultText("CoInitializeEx", com.Result());
    return std::nullopt;
  }
  IShellLinkW* rawLink = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(&rawLink));  // NOLINT
  if (FAILED(result)) {
    error = ResultText("making a shortcut", result);
    return std::nullopt;
  }
  const std::unique_ptr<IShellLinkW, Releaser> link(rawLink);
  const std::wstring line = Wide(WindowsCommandLine(arguments));
  link->SetPath(program.c_str());
  link->SetArguments(line.c_str());
  link->SetWorkingDirectory(folder.c_str());
  link->SetDescription(L"Talvo Lyrics Server: the lyrics pages for the player");
  // A console program: out of the way, yet there to read and to close.
  link->SetShowCmd(SW_SHOWMINNOACTIVE);
  IPersistFile* rawFile = nullptr;
  result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile));  // NOLINT
  if (FAILED(result)) {
    error = ResultText("saving a shortcut", result);
    return std::nullopt;
  }
  const std::unique_ptr<IPersistFile, Releaser> file(rawFile);
  result = file->Save(shortcut->c_str(), TRUE);
  if (FAILED(result)) {
    error = ResultText(("saving " + files::PathToUtf8(*shortcut)).c_str(), result);
    return std::nullopt;
  }
  return shortcut;
}

std::optional<fs::path> UninstallStartup(std::string& error) {
  auto shortcut = ShortcutPath(error);
  if (!shortcut) return std::nullopt;
  std::error_code failure;
  if (!fs::remove(*shortcut, failure)) {
    error = failure ? "cannot remove " + files::PathToUtf8(*shortcut) + ": " + failure.message()
                    : "there is no startup shortcut at " + files::PathToUtf8(*shortcut);
    return std::nullopt;
  }
  return shortcut;
}

}  // namespace talvo::system
