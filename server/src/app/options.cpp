#include "app/options.h"

#include <charconv>
#include <string_view>

#include "platform/files.h"
#include "platform/system.h"
#include "sources/upstream.h"

namespace talvo {
namespace {

bool ParseNumber(std::string_view text, long long low, long long high, long long& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= low && value <= high;
}

// "HOST:PORT", "[v6]:PORT" or ":PORT" (all interfaces are never implied: an empty host stays
// loopback, since the pages are the user's own library).
bool ParseListen(std::string_view text, Options& options) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  long long port = 0;
  if (!ParseNumber(text.substr(colon + 1), 0, 65535, port)) return false;
  if (!host.empty()) options.host = host;
  options.port = static_cast<int>(port);
  return true;
}

// Seconds with up to three decimals ("2", "0.3"), as milliseconds from low to high.
bool ParseSeconds(std::string_view text, long long low, long long high, long long& ms) {
  const auto dot = text.find('.');
  long long whole = 0;
  if (!ParseNumber(text.substr(0, dot), 0, high / 1000, whole)) return false;
  long long part = 0;
  if (dot != std::string_view::npos) {
    const std::string_view digits = text.substr(dot + 1);
    if (digits.empty() || digits.size() > 3 || !ParseNumber(digits, 0, 999, part)) return false;
    for (std::size_t i = digits.size(); i < 3; ++i) part *= 10;
  }
  ms = whole * 1000 + part;
  return ms >= low && ms <= high;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string& error) {
  Options options;
  options.codePage = system::DefaultCodePage();
  bool databaseGiven = false;
  for (int i = 1; i < argc; ++i) {
    const int first = i;
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const auto value = [&] { return std::string_view(argv[++i]); };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    if (arg == "--library") {
      // "--library A B C": every following word up to the next option is a folder.
      const auto before = options.libraries.size();
      while (i + 1 < argc && std::string_view(argv[i + 1]).substr(0, 2) != "--")
        options.libraries.push_back(files::PathFromUtf8(argv[++i]));
      if (options.libraries.size() == before) {
        error = "--library needs a folder";
        return std::nullopt;
      }
    } else if (arg == "--listen") {
      if (!hasValue || !ParseListen(value(), options)) {
        error = "--listen needs HOST:PORT, as in 127.0.0.1:8765";
        return std::nullopt;
      }
    } else if (arg == "--db") {
      const std::string_view name = hasValue ? value() : "";
      if (name.empty()) {
        error = "--db needs a file name";
        return std::nullopt;
      }
      options.database = files::PathFromUtf8(name);
      databaseGiven = true;
    } else if (arg == "--codepage") {
      const std::string_view name = hasValue ? value() : "";
      if (name.empty()) {
        error = "--codepage needs a name, as in windows-1252 or cp949";
        return std::nullopt;
      }
      options.codePage = name;
    } else if (arg == "--import-lrclib") {
      const std::string_view name = hasValue ? value() : "";
      if (name.empty()) {
        error = "--import-lrclib needs a dump file (.sqlite3 or .sqlite3.gz)";
        return std::nullopt;
      }
      options.importDump = files::PathFromUtf8(name);
    } else if (arg == "--install-startup" || arg == "--uninstall-startup") {
      options.startup =
          arg == "--install-startup" ? Options::Startup::kInstall : Options::Startup::kUninstall;
      continue;  // not among the shortcut's own arguments
    } else if (arg == "--rescan") {
      options.rescanOnly = true;
    } else if (arg == "--rescan-interval") {
      long long seconds = 0;
      if (!hasValue || !ParseNumber(value(), 0, 7LL * 24 * 3600, seconds)) {
        error = "--rescan-interval needs a number of seconds (0 turns it off)";
        return std::nullopt;
      }
      options.rescanInterval = std::chrono::seconds(seconds);
    } else if (arg == "--idle-timeout") {
      long long seconds = 0;
      if (!hasValue || !ParseNumber(value(), 1, 3600, seconds)) {
        error = "--idle-timeout needs a number of seconds from 1 to 3600";
        return std::nullopt;
      }
      options.idleTimeout = std::chrono::seconds(seconds);
    } else if (arg == "--upstream") {
      const std::string_view url = hasValue ? value() : "";
      if (url.empty()) {
        error = "--upstream needs a URL, as in https://lrclib.net";
        return std::nullopt;
      }
      if (!upstream::ParseAddress(url, error)) return std::nullopt;
      options.upstream = url;
    } else if (arg == "--upstream-timeout") {
      long long ms = 0;
      if (!hasValue || !ParseSeconds(value(), 100, 60'000, ms)) {
        error = "--upstream-timeout needs a number of seconds from 0.1 to 60";
        return std::nullopt;
      }
      options.upstreamTimeout = std::chrono::milliseconds(ms);
    } else if (arg == "--upstream-ca") {
      const std::string_view name = hasValue ? value() : "";
      if (name.empty()) {
        error = "--upstream-ca needs a PEM file";
        return std::nullopt;
      }
      options.upstreamCa = files::PathFromUtf8(name);
    } else {
      error = "unknown option '" + std::string(arg) + "'";
      return std::nullopt;
    }
    options.startupArguments.insert(options.startupArguments.end(), argv + first, argv + i + 1);
  }
  // An import reads the dump and writes the index: the library is not looked at. A shortcut's
  // program looks for the default library when it starts.
  if (options.libraries.empty() && options.importDump.empty() &&
      options.startup == Options::Startup::kNone) {
    if (auto library = system::DefaultLibrary()) {
      options.libraries.push_back(std::move(*library));
    } else {
      error = "no library: give at least one folder with --library DIR";
      return std::nullopt;
    }
  }
  if (!databaseGiven) options.database = system::DefaultIndexPath();
  return options;
}

const char* UsageText() {
  static const std::string text = [] {
    const system::Help& help = system::HelpText();
    return std::string("Usage: talvo-lyrics-server ") + help.usage + R"( [options]
       talvo-lyrics-server --import-lrclib FILE [--db PATH]

Serves the lyrics pages the Talvo Lyrics plugin opens, from your own lyrics library.

  --library DIR...         folders to index (read only, never written): .lrc files,
                           .txt files named "Artist - Title.txt", and audio files with
                           lyrics in their tags (MP3, FLAC, Ogg, MP4); may be repeated)" +
           help.library + R"(
  --listen HOST:PORT       where to serve (default 127.0.0.1:8765, the plugin's default);
                           port 0 picks a free port
  --db PATH                the index database (default
)" + help.index +
           R"(
  --codepage NAME          the player's code page, for tags and captions and for text
                           files without a byte order mark that are not UTF-8
)" + help.codePage +
           R"(
  --rescan                 bring the index up to date with the library, then exit
  --import-lrclib FILE     import an LRCLIB database dump (.sqlite3, or .sqlite3.gz
                           as published) into the index, replacing the songs of the
                           dump imported before, then exit without serving; a running
                           server answers from the index as it was until the import
                           ends, and an import that fails or is stopped changes nothing.
                           Your library's songs come before a dump's of the same names
  --rescan-interval SECS   look for changed files this often while serving
                           (default 300; 0 turns it off))" +
           help.rescan + R"(
  --idle-timeout SECS      close a connection that has not sent its next request in
                           full within this time, idle or trickling (default 15)
  --upstream URL           an LRCLIB-compatible server (http:// or https://, as in
                           https://lrclib.net) asked for the songs the index lacks: the
                           title, artist, and the album and duration when a client gave
                           them, are sent to it; what it finds is kept in the index.
                           Off by default
  --upstream-timeout SECS  the longest a page waits for it, whole exchange included
                           (default 2; from 0.1 to 60)
  --upstream-ca FILE       PEM certificates to trust for an https:// upstream instead of
                           the system's
)" + help.startup +
           R"(  --help                   this text

Pages: /kr/lyrics_plugin_show.html?title=&singer=, /kr/lyrics_plugin_index.html,
/search?q=, /song?id=, and /api/lyrics?title=&singer= (JSON).
)";
  }();
  return text.c_str();
}

}  // namespace talvo
