#include "fake_host/fake_host.h"

#include <algorithm>
#include <cstring>

#include "watcher/watcher.h"

namespace {

FakeHost* current = nullptr;

}  // namespace

FakeHost::FakeHost() : window_(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x10010))) {
  current = this;
}

FakeHost::~FakeHost() {
  if (current == this) current = nullptr;
}

FakeHost& FakeHost::Current() {
  return *current;
}

void FakeHost::InstallWatcher() {
  prevWndProc = HostTakeOver(window_, WatchWndProc);
}

WNDPROC FakeHost::ReplaceProcedure(WNDPROC proc) {
  const WNDPROC previous = procedure_;
  procedure_ = proc;
  return previous;
}

void FakeHost::Play(std::size_t entry) {
  playingState = 1;
  position = static_cast<LRESULT>(entry);
}

LRESULT FakeHost::Send(UINT msg, WPARAM wParam, LPARAM lParam) {
  return procedure_(window_, msg, wParam, lParam);
}

void FakeHost::Post(UINT msg, WPARAM wParam, LPARAM lParam) {
  queue_.push_back({msg, wParam, lParam});
}

std::size_t FakeHost::Pump() {
  std::size_t handled = 0;
  while (!queue_.empty()) {
    const Message next = queue_.front();
    queue_.pop_front();
    Send(next.msg, next.wParam, next.lParam);
    ++handled;
  }
  return handled;
}

std::size_t FakeHost::Queries() const {
  return static_cast<std::size_t>(std::count_if(seen.begin(), seen.end(), [](const Message& m) {
    return m.msg == WM_WA_IPC && (m.lParam == IPC_ISPLAYING || m.lParam == IPC_GETLISTPOS ||
                                  m.lParam == IPC_GETPLAYLISTFILE);
  }));
}

LRESULT FakeHost::OwnResult(UINT msg, WPARAM wParam, LPARAM lParam) {
  return static_cast<LRESULT>(WPARAM{msg} * 1000003U + wParam * 7919U) ^ lParam;
}

LRESULT CALLBACK FakeHost::PlayerProc(HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
  return current->Handle(msg, wParam, lParam);
}

LRESULT FakeHost::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
  seen.push_back({msg, wParam, lParam});
  if (msg == WM_GETTEXT) {
    // As DefWindowProc: at most wParam - 1 bytes and a NUL; answers the length copied.
    if (wParam == 0) return 0;
    const std::size_t length = std::min<std::size_t>(caption.size(), wParam - 1);
    char* buffer = reinterpret_cast<char*>(lParam);
    std::memcpy(buffer, caption.data(), length);
    buffer[length] = '\0';
    return static_cast<LRESULT>(length);
  }
  if (msg != WM_WA_IPC) return OwnResult(msg, wParam, lParam);
  switch (lParam) {
    case IPC_ISPLAYING:
      return playingState;
    case IPC_GETLISTPOS:
      return position;
    case IPC_GETPLAYLISTFILE:
      if (wParam >= playlist.size() || !playlist[wParam]) return 0;
      return reinterpret_cast<LRESULT>(playlist[wParam]->c_str());
    case IPC_MBOPEN:
      opened.emplace_back(wParam == 0 ? "(browser)" : reinterpret_cast<const char*>(wParam));
      return OwnResult(msg, wParam, lParam);
    default:
      return OwnResult(msg, wParam, lParam);
  }
}

// The operations of host/host.h, answered by the current fake player.

LRESULT HostPlayingState(HWND main) {
  return FakeHost::Current().procedure()(main, WM_WA_IPC, 0, IPC_ISPLAYING);
}

LRESULT HostListPosition(HWND main) {
  return FakeHost::Current().procedure()(main, WM_WA_IPC, 0, IPC_GETLISTPOS);
}

const char* HostPlaylistFile(HWND main, LRESULT position) {
  return reinterpret_cast<const char*>(FakeHost::Current().procedure()(
      main, WM_WA_IPC, static_cast<WPARAM>(position), IPC_GETPLAYLISTFILE));
}

void HostReadCaption(HWND main, char* buffer, int size) {
  FakeHost::Current().procedure()(main, WM_GETTEXT, static_cast<WPARAM>(size),
                                  reinterpret_cast<LPARAM>(buffer));
}

void HostOpenBrowser(HWND, const char* address) {
  FakeHost::Current().Post(WM_WA_IPC, reinterpret_cast<WPARAM>(address), IPC_MBOPEN);
}

WNDPROC HostTakeOver(HWND, WNDPROC proc) {
  return FakeHost::Current().ReplaceProcedure(proc);
}

LRESULT HostForward(WNDPROC previous, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return previous(hwnd, msg, wParam, lParam);
}

void HostDebugOutput(const char* text) {
  FakeHost::Current().debugLines.emplace_back(text);
}
