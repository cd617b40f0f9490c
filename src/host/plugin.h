// The player's general-purpose plugin interface, declared from its published layout: the
// descriptor record the player reads and writes in place, and the one function a plugin exports.
#pragma once

#include "host/host.h"

inline constexpr int GPPHDR_VER = 0x10;

struct winampGeneralPurposePlugin {
  int version;              // GPPHDR_VER
  const char* description;  // shown in the player's plugin list
  int (*init)();            // 0 on success
  void (*config)();
  void (*quit)();
  HWND hwndParent;         // the player's main window, filled in before init
  HINSTANCE hDllInstance;  // filled in by the player; never read
};
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(winampGeneralPurposePlugin) == 28, "the player reads a 28-byte record");
#endif

// The export the player looks up by this exact, undecorated name.
inline constexpr char kPluginExportName[] = "winampGetGeneralPurposePlugin";
using GetGeneralPurposePluginProc = winampGeneralPurposePlugin* (*)();

// Where the player looks for the optional expansion module, below its own folder.
inline constexpr char kExpansionModule[] = "plugins\\TalvoLyricsExpand1.dll";
