// The plugin's one seam to the platform: every request to the player and to the operating system
// goes through the operations below. host_win32.cpp and file_win32.cpp implement them over Win32;
// native builds link file_posix.cpp and a stand-in for the player (tests, tools).
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
// The Win32 window types, with the same shapes, so the watcher reads the same on every platform.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Win32's own name
struct HWND__;
using HWND = HWND__*;
using UINT = unsigned int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
#define CALLBACK
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
inline constexpr UINT WM_GETTEXT = 0x000D;
#endif

// The player's requests travel as lParam of this message to its main window.
inline constexpr UINT WM_WA_IPC = 0x0400;
inline constexpr LPARAM IPC_ISPLAYING = 104;
inline constexpr LPARAM IPC_GETLISTPOS = 125;
inline constexpr LPARAM IPC_GETPLAYLISTFILE = 211;
inline constexpr LPARAM IPC_MBOPEN = 241;

// Queries, sent to the main window: they re-enter its procedure before they return.
LRESULT HostPlayingState(HWND main);  // exactly 1 means playing
LRESULT HostListPosition(HWND main);
// The file name of the playlist entry, owned by the player, or null; copy it at once.
const char* HostPlaylistFile(HWND main, LRESULT position);
// The caption, cut to size - 1 bytes and always NUL-terminated; arrives there as WM_GETTEXT.
void HostReadCaption(HWND main, char* buffer, int size);

// Posted, not sent: the player reads address when it handles the request, so it must outlive
// the call. A null address opens the built-in browser window itself.
void HostOpenBrowser(HWND main, const char* address);

// Installs proc as the main window's procedure and answers the one it replaced.
WNDPROC HostTakeOver(HWND main, WNDPROC proc);
LRESULT HostForward(WNDPROC previous, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

void HostDebugOutput(const char* text);

// Reads the last `size` bytes of the named file into out. False for anything that is not a
// readable regular file of at least `size` bytes; out is then undefined. Never blocks on devices
// or pipes, and the file is closed again before it returns.
bool ReadFileTail(const char* fileName, void* out, std::size_t size);
