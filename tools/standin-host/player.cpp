#include "standin-host/player.h"

#include <algorithm>
#include <cstring>

namespace {

// Where the process's debugger output goes: the log of the newest player alive.
EventLog* debugLog = nullptr;

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C when no debugger takes it; a vectored handler
// sees it first and lets it go on to the system's own handler.
LONG CALLBACK CaptureDebugOutput(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD& record = *info->ExceptionRecord;
  if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2 &&
      debugLog != nullptr) {
    const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
    const std::size_t limit = record.ExceptionInformation[0];  // counts the NUL
    debugLog->Add("debug " + std::string(text, strnlen(text, limit)));
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD& record = *info->ExceptionRecord;
  char line[96];
  const int length = std::snprintf(line, sizeof line, "crashed: exception 0x%08lx at %p\n",
                                   record.ExceptionCode, record.ExceptionAddress);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
  TerminateProcess(GetCurrentProcess(), record.ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

bool RegisterPlayerClass() {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = Player::OwnProcedure();
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kPlayerWindowClass;
  return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

void EventLog::Add(std::string line) {
  if (out_ != nullptr) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  lines_.push_back(std::move(line));
}

Player::Player(EventLog& log) : log_(log) {
  if (RegisterPlayerClass()) {
    window_ = CreateWindowExA(0, kPlayerWindowClass, "Stand-in player", 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, GetModuleHandleA(nullptr), this);
  }
  handling_ = window_ != nullptr;
  // One handler for the process, whichever player is newest.
  [[maybe_unused]] static void* const capture = AddVectoredExceptionHandler(1, CaptureDebugOutput);
  previousDebugLog_ = debugLog;
  debugLog = &log_;
}

Player::~Player() {
  // Messages still come while the window goes (through the plugin too): answer them quietly.
  handling_ = false;
  if (window_ != nullptr) DestroyWindow(window_);
  if (debugLog == &log_) debugLog = previousDebugLog_;
}

WNDPROC Player::OwnProcedure() {
  return WindowProc;
}

bool Player::Load(const std::string& path, std::string& error) {
  library_ = LoadLibraryA(path.c_str());
  if (library_ == nullptr) {
    error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  // Through void (*)(): the export's real type is only known by its name.
  const auto export_ = reinterpret_cast<void (*)()>(GetProcAddress(library_, kPluginExportName));
  if (export_ == nullptr) {
    error = path + " does not export " + kPluginExportName;
    return false;
  }
  plugin_ = reinterpret_cast<GetGeneralPurposePluginProc>(export_)();
  if (plugin_ == nullptr) {
    error = std::string(kPluginExportName) + " in " + path + " gave no descriptor";
    return false;
  }
  plugin_->hwndParent = window_;
  plugin_->hDllInstance = library_;
  return true;
}

int Player::Init() {
  running_ = true;
  return plugin_->init();
}

void Player::Config() {
  plugin_->config();
}

void Player::Quit() {
  running_ = false;
  plugin_->quit();
}

BOOL Player::Free() {
  freed_ = true;
  running_ = false;
  return FreeLibrary(library_);
}

void Player::Play(std::size_t number) {
  state_ = 1;
  position_ = static_cast<LRESULT>(number - 1);
  caption_ = std::to_string(number) + ". " + playlist_[number - 1].text + " - Winamp";
}

std::size_t Player::Pump() {
  std::size_t dispatched = 0;
  MSG message;
  while (dispatched < kPumpLimit && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    DispatchMessageA(&message);
    ++dispatched;
  }
  return dispatched;
}

std::string Player::ProcedureOwner() const {
  const LONG_PTR procedure = GetWindowLongPtrA(window_, GWLP_WNDPROC);
  if (procedure == reinterpret_cast<LONG_PTR>(&WindowProc)) return "player";
  return ModuleNameAt(reinterpret_cast<const void*>(procedure));
}

LRESULT CALLBACK Player::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* player = reinterpret_cast<Player*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (player == nullptr || !player->handling_) return DefWindowProcA(hwnd, msg, wParam, lParam);
  return player->Handle(msg, wParam, lParam);
}

LRESULT Player::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_GETTEXT) return CopyCaption(wParam, reinterpret_cast<char*>(lParam));
  if (msg == WM_WA_IPC) return AnswerIpc(wParam, lParam);
  return Answer(msg, wParam, lParam);
}

LRESULT Player::AnswerIpc(WPARAM wParam, LPARAM lParam) {
  switch (lParam) {
    case IPC_ISPLAYING:
      log_.Add("query playing -> " + std::to_string(state_));
      return state_;
    case IPC_GETLISTPOS:
      log_.Add("query position -> " + std::to_string(position_));
      return position_;
    case IPC_GETPLAYLISTFILE: {
      const std::string asked = "query file " + std::to_string(wParam) + " -> ";
      if (wParam >= playlist_.size()) {
        log_.Add(asked + "null");
        return 0;
      }
      const std::string& file = playlist_[wParam].file;
      log_.Add(asked + file);
      return reinterpret_cast<LRESULT>(file.c_str());
    }
    case IPC_MBOPEN:
      // The address is read now, when the request is handled, not when it was posted.
      log_.Add(wParam == 0 ? std::string("browser open")
                           : "browser " + std::string(reinterpret_cast<const char*>(wParam)));
      return answer_;
    default:
      return Answer(WM_WA_IPC, wParam, lParam);
  }
}

LRESULT Player::CopyCaption(WPARAM size, char* buffer) {
  // As DefWindowProc: at most size - 1 bytes and a NUL; answers the bytes copied.
  std::size_t length = 0;
  if (size > 0 && buffer != nullptr) {
    length = std::min<std::size_t>(caption_.size(), size - 1);
    std::memcpy(buffer, caption_.data(), length);
    buffer[length] = '\0';
  }
  log_.Add("caption -> " + caption_.substr(0, length));
  return static_cast<LRESULT>(length);
}

LRESULT Player::Answer(UINT msg, WPARAM wParam, LPARAM lParam) {
  log_.Add("message " + MessageText(msg, wParam, lParam) + " -> " + std::to_string(answer_));
  return answer_;
}

void ExitOnCrash() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(ReportCrash);
}

std::string MessageText(UINT msg, WPARAM wParam, LPARAM lParam) {
  char text[64];
  std::snprintf(text, sizeof text, "0x%04x %llu %lld", msg, static_cast<unsigned long long>(wParam),
                static_cast<long long>(lParam));
  return text;
}

std::string ModuleNameAt(const void* address) {
  HMODULE module = nullptr;
  char path[MAX_PATH];
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module)) {
    const DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
      const char* name = std::strrchr(path, '\\');
      return name != nullptr ? name + 1 : path;
    }
  }
  std::snprintf(path, sizeof path, "%p", address);
  return path;
}
