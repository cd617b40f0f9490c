// Cost per message of SendMessageA to a player's main window, under Wine or on Windows:
//   a  the player alone;
//   b  a subclass that only forwards;
//   c  the real gen_talvolyrics.dll, loaded and started as the player does, the file unchanged;
//   d  a hand-written floor for c: the filter, the three queries and a compare, then the forward;
//   and a message that the plugin's filter passes straight on, through the plugin and through the
//   forwarder. The player's window procedure is a lean one that answers the three queries (the
//   stand-in player logs every message, which would hide what the plugin costs).
//
//   talvo-bench-messages [ROUNDS [MESSAGES]]      defaults: 25 rounds of 20000 messages
//
// Each configuration has its own window: the plugin's take-over cannot be undone. The rounds
// interleave the configurations, in an order that turns each round, so drift hits all alike.
// Prints one line per configuration: name, median, min and max in ns per message, and heap
// allocations per message made by this program and by the plugin DLL.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "host/plugin.h"

namespace {

constexpr char kPlayingFile[] = R"(C:\Music\Some Band\01 Night Song.mp3)";
constexpr char kWindowClass[] = "TalvoBenchPlayer";
// A message every procedure passes on: the player's timer tick.
constexpr UINT kTimerMessage = WM_TIMER;

// Counted in the player's answers: how many checks ran, how many pages were asked for.
std::size_t playingQueries = 0;
std::size_t browserRequests = 0;

LRESULT CALLBACK LeanPlayer(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_WA_IPC) {
    switch (lParam) {
      case IPC_ISPLAYING:
        ++playingQueries;
        return 1;
      case IPC_GETLISTPOS:
        return 0;
      case IPC_GETPLAYLISTFILE:
        return reinterpret_cast<LRESULT>(kPlayingFile);
      case IPC_MBOPEN:
        ++browserRequests;
        return 0;
      default:
        return 0;
    }
  }
  if (msg == kTimerMessage) return 0;
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// Heap allocations by our modules: their imports of the C runtime's and the system's allocators
// are pointed at counting stand-ins.
std::size_t allocations = 0;

using MallocProc = void* (*)(std::size_t);
using CallocProc = void* (*)(std::size_t, std::size_t);
using ReallocProc = void* (*)(void*, std::size_t);
using HeapAllocProc = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
MallocProc realMalloc = nullptr;
CallocProc realCalloc = nullptr;
ReallocProc realRealloc = nullptr;
HeapAllocProc realHeapAlloc = nullptr;

void* CountedMalloc(std::size_t size) {
  ++allocations;
  return realMalloc(size);
}

void* CountedCalloc(std::size_t count, std::size_t size) {
  ++allocations;
  return realCalloc(count, size);
}

void* CountedRealloc(void* block, std::size_t size) {
  ++allocations;
  return realRealloc(block, size);
}

LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size) {
  ++allocations;
  return realHeapAlloc(heap, flags, size);
}

// The stand-in for the import `name`, keeping the real one; null for imports not counted.
ULONG_PTR CountingStandIn(const char* name, ULONG_PTR real) {
  const auto keep = [real](auto& slot, auto standIn) {
    if (slot == nullptr) slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(real);
    return reinterpret_cast<ULONG_PTR>(standIn);
  };
  if (std::strcmp(name, "malloc") == 0) return keep(realMalloc, CountedMalloc);
  if (std::strcmp(name, "calloc") == 0) return keep(realCalloc, CountedCalloc);
  if (std::strcmp(name, "realloc") == 0) return keep(realRealloc, CountedRealloc);
  if (std::strcmp(name, "HeapAlloc") == 0) return keep(realHeapAlloc, CountedHeapAlloc);
  return 0;
}

// Answers how many imports it redirected.
int CountAllocationsOf(HMODULE module) {
  int redirected = 0;
  auto* base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.Size == 0) return 0;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    const DWORD names =
        library->OriginalFirstThunk != 0 ? library->OriginalFirstThunk : library->FirstThunk;
    auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + names);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      const ULONG_PTR standIn =
          CountingStandIn(reinterpret_cast<const char*>(byName->Name), slot->u1.Function);
      if (standIn == 0) continue;
      DWORD protection = 0;
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
      slot->u1.Function = standIn;
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
      ++redirected;
    }
  }
  return redirected;
}

// b: forwards and nothing else.
WNDPROC forwardPrevious = nullptr;

LRESULT CALLBACK Forwarder(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return CallWindowProcA(forwardPrevious, hwnd, msg, wParam, lParam);
}

// d: what the plugin must do on an unchanged file, written out by hand.
WNDPROC floorPrevious = nullptr;
char floorLastFile[256] = {};
std::size_t floorChanges = 0;

LRESULT CALLBACK CheckFloor(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const bool query = msg == WM_GETTEXT ||
                     (msg == WM_WA_IPC && (lParam == IPC_ISPLAYING || lParam == IPC_GETLISTPOS ||
                                           lParam == IPC_GETPLAYLISTFILE));
  if (!query && SendMessageA(hwnd, WM_WA_IPC, 0, IPC_ISPLAYING) == 1) {
    const LRESULT position = SendMessageA(hwnd, WM_WA_IPC, 0, IPC_GETLISTPOS);
    const auto* name = reinterpret_cast<const char*>(
        SendMessageA(hwnd, WM_WA_IPC, static_cast<WPARAM>(position), IPC_GETPLAYLISTFILE));
    if (name != nullptr && std::strcmp(name, floorLastFile) != 0) ++floorChanges;
  }
  return CallWindowProcA(floorPrevious, hwnd, msg, wParam, lParam);
}

HWND PlayerWindow() {
  return CreateWindowExA(0, kWindowClass, "Night Song", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

WNDPROC Subclass(HWND window, WNDPROC proc) {
  return reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

void Pump() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

int pluginAllocators = 0;  // allocator imports of the plugin that are counted

// The plugin in front of `window`, as the player starts it; then one message, so that it has seen
// the playing file and every later message takes the unchanged-file path.
bool StartPlugin(HWND window, const std::string& path) {
  const HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) {
    std::fprintf(stderr, "cannot load %s (error %lu)\n", path.c_str(), GetLastError());
    return false;
  }
  pluginAllocators = CountAllocationsOf(library);
  const auto get = reinterpret_cast<GetGeneralPurposePluginProc>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, kPluginExportName)));
  auto* plugin = get != nullptr ? get() : nullptr;
  if (plugin == nullptr) {
    std::fprintf(stderr, "%s has no %s\n", path.c_str(), kPluginExportName);
    return false;
  }
  plugin->hwndParent = window;
  plugin->hDllInstance = library;
  plugin->init();
  Pump();  // the browser window and the index page
  SendMessageA(window, kTimerMessage, 1, 0);
  Pump();  // the song's page
  if (browserRequests != 3) {
    std::fprintf(stderr, "the plugin asked for %zu pages, not 3\n", browserRequests);
    return false;
  }
  return true;
}

struct Config {
  const char* name;
  HWND window;
  UINT msg;
  LPARAM lParam;
  std::size_t checksPerMessage;  // playing-state queries each message should cause
  std::vector<double> nanoseconds;
  std::size_t allocations = 0;
};

double Frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(frequency.QuadPart);
}

double Measure(Config& config, int messages, double frequency) {
  const std::size_t allocated = allocations;
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  QueryPerformanceCounter(&start);
  for (int i = 0; i < messages; ++i) SendMessageA(config.window, config.msg, 1, config.lParam);
  QueryPerformanceCounter(&end);
  config.allocations += allocations - allocated;
  return static_cast<double>(end.QuadPart - start.QuadPart) * 1e9 / frequency / messages;
}

// One message per configuration, checked against what it should cause.
bool Verify(const std::vector<Config>& configs) {
  for (const Config& config : configs) {
    const std::size_t queries = playingQueries;
    const std::size_t requests = browserRequests;
    SendMessageA(config.window, config.msg, 1, config.lParam);
    Pump();
    if (playingQueries - queries != config.checksPerMessage || browserRequests != requests) {
      std::fprintf(stderr, "%s: %zu checks and %zu page requests per message, expected %zu and 0\n",
                   config.name, playingQueries - queries, browserRequests - requests,
                   config.checksPerMessage);
      return false;
    }
  }
  return floorChanges == 0;
}

int Number(const char* text, int fallback) {
  if (text == nullptr) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return *end == '\0' && value > 0 && value <= 10'000'000 ? static_cast<int>(value) : fallback;
}

std::string BesideProgram(const char* file) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return file;
  char* folderEnd = std::strrchr(path, '\\');
  if (folderEnd == nullptr) return file;
  return std::string(path, folderEnd + 1) + file;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = Number(argc > 1 ? argv[1] : nullptr, 25);
  const int messages = Number(argc > 2 ? argv[2] : nullptr, 20000);

  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = LeanPlayer;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassA(&windowClass) == 0) {
    std::fprintf(stderr, "cannot register the player's window class\n");
    return 1;
  }
  const int programAllocators = CountAllocationsOf(GetModuleHandleA(nullptr));

  HWND alone = PlayerWindow();
  HWND forwarded = PlayerWindow();
  HWND plugged = PlayerWindow();
  HWND checked = PlayerWindow();
  if (alone == nullptr || forwarded == nullptr || plugged == nullptr || checked == nullptr) {
    std::fprintf(stderr, "cannot create the player's windows\n");
    return 1;
  }
  forwardPrevious = Subclass(forwarded, Forwarder);
  static_assert(sizeof kPlayingFile <= sizeof floorLastFile);
  std::memcpy(floorLastFile, kPlayingFile, sizeof kPlayingFile);
  floorPrevious = Subclass(checked, CheckFloor);
  if (!StartPlugin(plugged, BesideProgram("gen_talvolyrics.dll"))) return 1;

  std::vector<Config> configs = {
      {"a_player", alone, kTimerMessage, 0, 0, {}},
      {"b_forwarder", forwarded, kTimerMessage, 0, 0, {}},
      {"c_plugin", plugged, kTimerMessage, 0, 1, {}},
      {"d_check_floor", checked, kTimerMessage, 0, 1, {}},
      {"e_forwarder_filtered", forwarded, WM_WA_IPC, IPC_GETLISTPOS, 0, {}},
      {"f_plugin_filtered", plugged, WM_WA_IPC, IPC_GETLISTPOS, 0, {}},
  };
  if (!Verify(configs)) return 1;

  const double frequency = Frequency();
  for (Config& config : configs) Measure(config, messages, frequency);  // warm-up, not kept
  for (Config& config : configs) config.allocations = 0;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < configs.size(); ++i) {
      Config& config = configs[(i + static_cast<std::size_t>(round)) % configs.size()];
      config.nanoseconds.push_back(Measure(config, messages, frequency));
    }
  }
  if (!Verify(configs)) return 1;  // still the unchanged-file path after all the rounds

  std::printf("# %d rounds of %d messages; ns per message; allocations per message\n", rounds,
              messages);
  std::printf(
      "# allocations counted through %d allocator imports of the plugin, %d of this program\n",
      pluginAllocators, programAllocators);
  std::printf("# name\tmedian\tmin\tmax\tallocs\n");
  for (Config& config : configs) {
    std::vector<double>& ns = config.nanoseconds;
    std::sort(ns.begin(), ns.end());
    const double median =
        ns.size() % 2 == 1 ? ns[ns.size() / 2] : (ns[ns.size() / 2 - 1] + ns[ns.size() / 2]) / 2;
    std::printf("message/%s\t%.1f\t%.1f\t%.1f\t%.3g\n", config.name, median, ns.front(), ns.back(),
                static_cast<double>(config.allocations) / (static_cast<double>(rounds) * messages));
  }
  return 0;
}
