#include "platform/command_line.h"

namespace talvo {

std::string WindowsCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) {
    if (!line.empty()) line += ' ';
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
      line += argument;
      continue;
    }
    // Backslashes are literal except before a quote, where each stands for half of a pair.
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      backslashes = 0;
      line += c;
    }
    line.append(backslashes * 2, '\\');  // before the closing quote
    line += '"';
  }
  return line;
}

}  // namespace talvo
