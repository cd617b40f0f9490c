#include "watcher/watcher.h"

#include <cstring>

WNDPROC prevWndProc;
FileName lastFile;
char pageAddress[kPageAddressSize];

namespace {

// The name being handled, copied at once: the player owns (and may reuse) the text it gave us.
FileName playingFile;

// Big enough for the longest caption with every byte escaped, so the caption is never cut.
char encodedCaption[EncodedSize(kCaptionSize - 1)];

constexpr std::size_t kFieldCopy = sizeof TagBlock{}.TagTitle;

// The check's own queries and caption read come back here synchronously; they must pass untouched.
bool RunsCheck(UINT msg, LPARAM lParam) {
  if (msg == WM_GETTEXT) return false;
  if (msg != WM_WA_IPC) return true;
  return lParam != IPC_ISPLAYING && lParam != IPC_GETLISTPOS && lParam != IPC_GETPLAYLISTFILE;
}

void CheckPlayingFile(HWND hwnd) {
  if (HostPlayingState(hwnd) != 1) return;
  const char* name = HostPlaylistFile(hwnd, HostListPosition(hwnd));
  if (name == nullptr || lastFile.Equals(name)) return;
  // A name that cannot be remembered would reopen its page on every message: better none.
  if (!playingFile.Assign(name) || !lastFile.Reserve(std::strlen(playingFile.c_str()))) return;

  ComposePageAddress(playingFile.c_str(), hwnd);
  HostOpenBrowser(hwnd, pageAddress);
  HostDebugOutput(pageAddress);
  lastFile.Assign(playingFile.c_str());
}

}  // namespace

const char* ComposePageAddress(const char* fileName, HWND main) {
  if (ReadTagBlock(fileName) == 1) {
    // The fields need not end in a NUL: copy each into a zeroed buffer one byte longer.
    char title[kFieldCopy + 1] = {};
    char singer[kFieldCopy + 1] = {};
    std::strncpy(title, tagBlock.TagTitle, kFieldCopy);
    std::strncpy(singer, tagBlock.TagArtist, kFieldCopy);
    char encodedTitle[EncodedSize(kFieldCopy)];
    char encodedSinger[EncodedSize(kFieldCopy)];
    ShowPageAddress(pageAddress, EncodeQueryText(title, encodedTitle),
                    EncodeQueryText(singer, encodedSinger));
  } else {
    ShowPageAddress(pageAddress, EncodeQueryText(CaptionSongText(main), encodedCaption), nullptr);
  }
  return pageAddress;
}

LRESULT CALLBACK WatchWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (RunsCheck(msg, lParam)) CheckPlayingFile(hwnd);
  return HostForward(prevWndProc, hwnd, msg, wParam, lParam);
}
