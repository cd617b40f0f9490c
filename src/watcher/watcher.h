// The track watcher: the window procedure put in front of the player's own, which opens a lyrics
// page whenever a file other than the last one handled starts playing.
#pragma once

#include <cstddef>

#include "address/address.h"
#include "host/host.h"
#include "identify/identify.h"
#include "watcher/file_name.h"

// The player's own procedure, which every message goes on to; set when the watcher is installed.
extern WNDPROC prevWndProc;

// The file whose page was requested last; empty until a file plays.
extern FileName lastFile;

// The latest show-page address. A posted browser request points here, so it must outlive the
// call; it fits the longest address either path composes (the whole caption, every byte escaped).
inline constexpr std::size_t kPageAddressSize = kShowPageFrame + EncodedSize(kCaptionSize - 1) - 1;
extern char pageAddress[kPageAddressSize];

// Runs the check on every message except the four that the check itself sends to this window,
// then forwards the message unchanged and returns what the player's procedure returned.
LRESULT CALLBACK WatchWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Composes the show-page address for fileName into pageAddress and answers it: from the file's
// tag block when it has one, else from main's caption with an empty singer.
const char* ComposePageAddress(const char* fileName, HWND main);
