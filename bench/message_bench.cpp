// The watcher's cost per message through the fake player, whose queries re-enter the window's
// current procedure as Win32 does. The player's own procedure here is a lean one that answers the
// three queries and nothing else: the fake player's logging procedure would dwarf the watcher.
#include <cstring>

#include <benchmark/benchmark.h>

#include "allocations.h"
#include "fake_host/fake_host.h"
#include "watcher/watcher.h"

namespace {

constexpr char kPlayingFile[] = R"(C:\Music\Some Band\01 Night Song.mp3)";
// A message that every procedure passes on: the player's timer tick.
constexpr UINT kTimerMessage = 0x0113;

LRESULT CALLBACK LeanPlayer(HWND, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_GETTEXT && wParam > 0) {
    reinterpret_cast<char*>(lParam)[0] = '\0';
    return 0;
  }
  if (msg != WM_WA_IPC) return 0;
  switch (lParam) {
    case IPC_ISPLAYING:
      return 1;
    case IPC_GETLISTPOS:
      return 0;
    case IPC_GETPLAYLISTFILE:
      return reinterpret_cast<LRESULT>(kPlayingFile);
    default:
      return 0;
  }
}

bool IsCheckQuery(UINT msg, LPARAM lParam) {
  return msg == WM_GETTEXT ||
         (msg == WM_WA_IPC &&
          (lParam == IPC_ISPLAYING || lParam == IPC_GETLISTPOS || lParam == IPC_GETPLAYLISTFILE));
}

// The hand-written floor of the unchanged-file path: the same filter, three queries and a compare,
// then the forward, with nothing in between.
WNDPROC floorPrevious = nullptr;
char floorLastFile[FileName::kFixedSize] = {};
std::size_t floorChanges = 0;

LRESULT CALLBACK CheckFloor(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!IsCheckQuery(msg, lParam) && HostPlayingState(hwnd) == 1) {
    const char* name = HostPlaylistFile(hwnd, HostListPosition(hwnd));
    if (name != nullptr && std::strcmp(name, floorLastFile) != 0) ++floorChanges;
  }
  return HostForward(floorPrevious, hwnd, msg, wParam, lParam);
}

WNDPROC forwardPrevious = nullptr;

LRESULT CALLBACK Forwarder(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return HostForward(forwardPrevious, hwnd, msg, wParam, lParam);
}

// A fake player whose own procedure is the lean one.
struct LeanHost : FakeHost {
  LeanHost() { ReplaceProcedure(LeanPlayer); }
};

void SendMessages(benchmark::State& state, FakeHost& host, UINT msg, LPARAM lParam) {
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(host.Send(msg, 0, lParam));
  ReportAllocations(state, before);
}

// The watcher in front, the file already seen: the path every ordinary message takes.
void WatcherSetUp(LeanHost& host, benchmark::State& state) {
  host.InstallWatcher();
  host.Send(kTimerMessage);  // sees the file (if this run has not yet) and requests its page
  host.Pump();
  if (!lastFile.Equals(kPlayingFile)) state.SkipWithError("the watcher did not take the file");
}

void WatcherUnchanged(benchmark::State& state) {
  LeanHost host;
  WatcherSetUp(host, state);
  SendMessages(state, host, kTimerMessage, 0);
  if (host.Pending() != 0) state.SkipWithError("the watcher saw a change");
}

void WatcherFiltered(benchmark::State& state) {
  LeanHost host;
  WatcherSetUp(host, state);
  SendMessages(state, host, WM_WA_IPC, IPC_GETLISTPOS);
}

void CheckFloorUnchanged(benchmark::State& state) {
  LeanHost host;
  static_assert(sizeof kPlayingFile <= sizeof floorLastFile);
  std::memcpy(floorLastFile, kPlayingFile, sizeof kPlayingFile);
  floorPrevious = host.ReplaceProcedure(CheckFloor);
  floorChanges = 0;
  SendMessages(state, host, kTimerMessage, 0);
  if (floorChanges != 0) state.SkipWithError("the floor saw a change");
}

void ForwarderOnly(benchmark::State& state) {
  LeanHost host;
  forwardPrevious = host.ReplaceProcedure(Forwarder);
  SendMessages(state, host, WM_WA_IPC, IPC_GETLISTPOS);
}

// What no watcher can avoid: the three queries answered by the player and the one forward.
void BareQueries(benchmark::State& state) {
  const LeanHost host;
  HWND window = host.window();
  const std::size_t before = AllocationCount();
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(HostPlayingState(window));
    benchmark::DoNotOptimize(HostPlaylistFile(window, HostListPosition(window)));
    benchmark::DoNotOptimize(HostForward(LeanPlayer, window, kTimerMessage, 0, 0));
  }
  ReportAllocations(state, before);
}

BENCHMARK(WatcherUnchanged)->Name("watcher/unchanged")->Apply(WithSpread);
BENCHMARK(CheckFloorUnchanged)->Name("watcher/check_floor")->Apply(WithSpread);
BENCHMARK(BareQueries)->Name("watcher/bare_queries")->Apply(WithSpread);
BENCHMARK(WatcherFiltered)->Name("watcher/filtered")->Apply(WithSpread);
BENCHMARK(ForwarderOnly)->Name("watcher/forwarder")->Apply(WithSpread);

}  // namespace
