// gen_talvolyrics.dll: the descriptor, its routines and the library's entry routine.
#include "host/plugin.h"

#include <cstring>

#include "address/address.h"
#include "watcher/watcher.h"

namespace {

int PluginInit();
void PluginConfig() {}
// The watcher stays in front of the player's procedure: the module is pinned, so it outlives the
// player's FreeLibrary along with pageAddress, which a posted request may still point into.
void PluginQuit() {}

winampGeneralPurposePlugin plugin = {
    GPPHDR_VER,
    "Talvo Lyrics WinAmp Viewer by Talvo Lyrics developers (developers@talvo-lyrics.invalid)",
    PluginInit,
    PluginConfig,
    PluginQuit,
    nullptr,
    nullptr,
};

// The expansion module comes from the player's own folder, never from the current directory,
// where any folder the user browses could plant code in the player.
void RunExpansion() {
  char path[MAX_PATH + sizeof kExpansionModule];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  char* folderEnd = std::strrchr(path, '\\');
  if (folderEnd == nullptr) return;
  std::memcpy(folderEnd + 1, kExpansionModule, sizeof kExpansionModule);

  const HMODULE expansion = LoadLibraryA(path);  // kept loaded for the player's lifetime
  if (expansion == nullptr) return;
  using RunProc = void (*)();
  if (const auto run = reinterpret_cast<RunProc>(GetProcAddress(expansion, "Run"))) run();
}

int PluginInit() {
  RunExpansion();
  // A second init must not put the watcher in front of itself: it would forward to itself.
  if (prevWndProc == nullptr) {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&plugin), &self);
    prevWndProc = HostTakeOver(plugin.hwndParent, WatchWndProc);
  }
  HostOpenBrowser(plugin.hwndParent, nullptr);
  HostOpenBrowser(plugin.hwndParent, IndexPageAddress);
  return 0;
}

}  // namespace

extern "C" winampGeneralPurposePlugin* winampGetGeneralPurposePlugin() {
  return &plugin;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
  return TRUE;
}
