#include "probe/probe_host.h"

#include <cstring>

#include "host/host.h"

const char* probeCaption = "";

LRESULT HostPlayingState(HWND) {
  return 0;
}
LRESULT HostListPosition(HWND) {
  return 0;
}
const char* HostPlaylistFile(HWND, LRESULT) {
  return nullptr;
}

void HostReadCaption(HWND, char* buffer, int size) {
  // Cut like GetWindowTextA: at most size - 1 bytes, always terminated.
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  const std::size_t length = strnlen(probeCaption, limit);
  std::memcpy(buffer, probeCaption, length);
  buffer[length] = '\0';
}

void HostOpenBrowser(HWND, const char*) {}
WNDPROC HostTakeOver(HWND, WNDPROC) {
  return nullptr;
}
LRESULT HostForward(WNDPROC, HWND, UINT, WPARAM, LPARAM) {
  return 0;
}
void HostDebugOutput(const char*) {}
