// The player's operations over Win32 window messages.
#include "host/host.h"

LRESULT HostPlayingState(HWND main) {
  return SendMessageA(main, WM_WA_IPC, 0, IPC_ISPLAYING);
}

LRESULT HostListPosition(HWND main) {
  return SendMessageA(main, WM_WA_IPC, 0, IPC_GETLISTPOS);
}

const char* HostPlaylistFile(HWND main, LRESULT position) {
  return reinterpret_cast<const char*>(
      SendMessageA(main, WM_WA_IPC, static_cast<WPARAM>(position), IPC_GETPLAYLISTFILE));
}

void HostReadCaption(HWND main, char* buffer, int size) {
  if (GetWindowTextA(main, buffer, size) <= 0) buffer[0] = '\0';
}

void HostOpenBrowser(HWND main, const char* address) {
  PostMessageA(main, WM_WA_IPC, reinterpret_cast<WPARAM>(address), IPC_MBOPEN);
}

WNDPROC HostTakeOver(HWND main, WNDPROC proc) {
  return reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(main, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

LRESULT HostForward(WNDPROC previous, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcA(previous, hwnd, msg, wParam, lParam);
}

void HostDebugOutput(const char* text) {
  OutputDebugStringA(text);
}
