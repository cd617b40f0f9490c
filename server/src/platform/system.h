// What the program takes from the system it runs on: its command line, where its library and
// index are by default, the player's code page, and (Windows only) starting with the user's
// session. Linux keeps the conventions of a Unix program; Windows follows its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace talvo::system {

// The command line's words as UTF-8, the program's name first: on Linux argv itself, on Windows
// the wide command line (argv there is in the ANSI code page and loses what it cannot spell).
std::vector<std::string> CommandLine(int argc, char** argv);

// Makes the console show the program's UTF-8 output as such (Windows; nothing on Linux, where
// the terminal's own encoding is the user's choice).
void UseUtf8Console();

// The library when no --library is given: on Windows the user's Music folder; on Linux none, as a
// Unix program has no such folder to assume.
std::optional<std::filesystem::path> DefaultLibrary();

// The index when no --db is given. Linux: $XDG_DATA_HOME/talvo-lyrics/library.db, else
// ~/.local/share/talvo-lyrics/library.db. Windows: Talvo Lyrics\library.db in the user's local
// application data. Failing those, library.db in the current folder.
std::filesystem::path DefaultIndexPath();

// The code page when no --codepage is given: what the plugin sends on this system. Windows:
// "cp" and the ANSI code page's number (the player's own); Linux: windows-1252.
std::string DefaultCodePage();

// The parts of --help that differ by platform, each ending where the text goes on.
struct Help {
  const char* usage;     // the first line's library part
  const char* library;   // after --library's text: its default, or ""
  const char* index;     // --db's default, indented lines ending in ")"
  const char* codePage;  // --codepage's default, indented lines
  const char* rescan;    // after --rescan-interval's text: what else rescans, or ""
  const char* startup;   // the startup options' lines, or ""
};
const Help& HelpText();

// Whether the program can start with the user's session (Windows: a shortcut in the Startup
// folder, nothing in the registry).
inline constexpr bool kHasStartup =
#ifdef _WIN32
    true;
#else
    false;
#endif

// Puts a shortcut in the user's Startup folder that runs this program with arguments (UTF-8,
// quoted by WindowsCommandLine) from the current folder, so relative names in them stay right;
// replaces one made before. The shortcut's file, or nullopt with error set.
std::optional<std::filesystem::path> InstallStartup(const std::vector<std::string>& arguments,
                                                    std::string& error);
// Removes that shortcut; the file it was at, or nullopt with error set (also when there was none).
std::optional<std::filesystem::path> UninstallStartup(std::string& error);

}  // namespace talvo::system
