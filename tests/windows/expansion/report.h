// What the test expansion modules say, on the player's standard output: the stand-in player
// flushes each of its own lines, so these land in order among them.
#pragma once

#include <string>

#include <windows.h>

inline void Report(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

// Says when the module is mapped, and when it is unmapped while the process goes on: the
// plugin must never unload it.
inline void ReportLoading(DWORD reason, const void* reserved) {
  if (reason == DLL_PROCESS_ATTACH) Report("expansion loaded");
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) Report("expansion unloaded");
}
