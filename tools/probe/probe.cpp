// talvo-lyrics-probe: prints the lyrics page the plugin would open for each file, using the
// plugin's own identification and address code.
#include <cstdio>
#include <cstring>

#include "probe/probe_host.h"
#include "watcher/watcher.h"

namespace {

constexpr char kUsage[] =
    "usage: talvo-lyrics-probe FILE...\n"
    "       talvo-lyrics-probe --caption TEXT [FILE...]\n"
    "\n"
    "Prints, one line per FILE, the lyrics page address the plugin opens when FILE starts\n"
    "playing: from its ID3v1 tag, or else from the player's caption. --caption TEXT gives that\n"
    "caption (for example \"1. Some Band - Night Song - Winamp\"); without FILE it prints the\n"
    "address for a file without a tag.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "talvo-lyrics-probe: %s\n%s", problem, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  bool captionGiven = false;
  for (; first < argc && argv[first][0] == '-'; ++first) {
    if (std::strcmp(argv[first], "--") == 0) {
      ++first;
      break;
    }
    if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[first], "--caption") != 0) return Usage("unknown option");
    if (++first == argc) return Usage("--caption needs a TEXT");
    probeCaption = argv[first];
    captionGiven = true;
  }
  if (first == argc && !captionGiven) return Usage("no FILE given");

  if (first == argc) std::puts(ComposePageAddress(nullptr, nullptr));
  for (int i = first; i < argc; ++i) std::puts(ComposePageAddress(argv[i], nullptr));
  return 0;
}
