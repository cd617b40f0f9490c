#include <cstdlib>

#include "platform/system.h"

namespace talvo::system {

namespace fs = std::filesystem;

std::vector<std::string> CommandLine(int argc, char** argv) {
  return {argv, argv + argc};
}

void UseUtf8Console() {}

std::optional<fs::path> DefaultLibrary() {
  return std::nullopt;
}

fs::path DefaultIndexPath() {
  const fs::path file = fs::path("talvo-lyrics") / "library.db";
  // Read before any thread starts, so getenv's lack of thread safety does not matter.
  const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (data && *data) return fs::path(data) / file;
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home && *home) return fs::path(home) / ".local" / "share" / file;
  return file.filename();
}

std::string DefaultCodePage() {
  return "windows-1252";
}

const Help& HelpText() {
  static const Help help{
      .usage = "--library DIR...",
      .library = "",
      .index =
          "                           $XDG_DATA_HOME/talvo-lyrics/library.db, or\n"
          "                           ~/.local/share/talvo-lyrics/library.db)",
      .codePage =
          "                           (default windows-1252; cp949, cp932, cp1251 ... and any "
          "name\n"
          "                           ICU knows)",
      .rescan = "; SIGHUP rescans at once",
      .startup = ""};
  return help;
}

std::optional<fs::path> InstallStartup(const std::vector<std::string>& /*arguments*/,
                                       std::string& error) {
  error = "--install-startup works only on Windows";
  return std::nullopt;
}

std::optional<fs::path> UninstallStartup(std::string& error) {
  error = "--uninstall-startup works only on Windows";
  return std::nullopt;
}

}  // namespace talvo::system
