// An expansion module for the tests without "Run": only a look-alike in another letter case,
// which the plugin must not call.
#include "expansion/report.h"

extern "C" __declspec(dllexport) void run() {
  Report("expansion run (look-alike)");
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  ReportLoading(reason, reserved);
  return TRUE;
}
