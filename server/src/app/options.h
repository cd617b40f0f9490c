// The server's command line.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "http/server.h"

namespace talvo {

struct Options {
  std::vector<std::filesystem::path> libraries;
  std::string host = "127.0.0.1";
  int port = 8765;  // 0 asks the system for a free one
  std::filesystem::path database;
  std::string codePage = "windows-1252";  // ParseOptions: system::DefaultCodePage()
  bool rescanOnly = false;
  std::filesystem::path importDump;          // --import-lrclib: imported, then the program exits
  std::chrono::seconds rescanInterval{300};  // 0 turns the periodic check off
  std::chrono::seconds idleTimeout = http::kRequestTimeout;
  std::string upstream;  // --upstream: an LRCLIB-compatible server asked on a miss; empty: none
  std::chrono::milliseconds upstreamTimeout{2000};
  std::filesystem::path upstreamCa;  // empty: the system's certificate authorities
  bool help = false;
  // --install-startup, --uninstall-startup: the shortcut is made or removed, then the program
  // exits.
  enum class Startup { kNone, kInstall, kUninstall } startup = Startup::kNone;
  std::vector<std::string> startupArguments;  // the arguments other than --install-startup
};

// The options in argv (UTF-8), defaulted by the system seam where not given: the library (when
// there is a default), the index, the code page. Nothing, with error set to one line a user can
// act on, for anything malformed or missing.
std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string& error);

// "--help"'s text.
const char* UsageText();

}  // namespace talvo
