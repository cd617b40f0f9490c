// A program's arguments as Windows passes them: one line of text. Portable, so that Linux tests
// it too; the start-up shortcut (system_win.cpp) writes one.
#pragma once

#include <string>
#include <vector>

namespace talvo {

// arguments as one Windows command line, each read back as it was by CommandLineToArgvW and the
// C runtime: spaces, quotes, backslashes before quotes, empty arguments.
std::string WindowsCommandLine(const std::vector<std::string>& arguments);

}  // namespace talvo
