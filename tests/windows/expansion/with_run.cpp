// An expansion module for the tests: "Run" says it was called and who owned the player's
// main-window procedure at that moment (the plugin must not have taken it over yet).
#include "expansion/report.h"
#include "standin-host/player.h"

namespace {

// This process's player: other stand-in players may run beside it.
HWND PlayerWindow() {
  HWND window = nullptr;
  while ((window = FindWindowExA(HWND_MESSAGE, window, kPlayerWindowClass, nullptr)) != nullptr) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) return window;
  }
  return nullptr;
}

}  // namespace

extern "C" __declspec(dllexport) void Run() {
  HWND window = PlayerWindow();
  const std::string owner =
      window == nullptr
          ? "no player window"
          : ModuleNameAt(reinterpret_cast<const void*>(GetWindowLongPtrA(window, GWLP_WNDPROC)));
  Report("expansion Run (procedure: " + owner + ")");
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  ReportLoading(reason, reserved);
  return TRUE;
}
