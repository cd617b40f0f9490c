// The program's progress on a terminal: a bar for a long task counted in files, tracks, ....
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>

namespace talvo {

// Draws "[#####-----] 123/4567 files" (unit: a string literal) on a terminal, redrawn in place
// when the percentage moves (at most four times a second, and once at the end); silent when the
// stream is not a terminal or the task is short (under 200 of its unit). Finish ends the line if
// anything was drawn.
class ProgressBar {
 public:
  explicit ProgressBar(std::FILE* stream, const char* unit = "files");
  void operator()(std::size_t done, std::size_t total);
  void Finish();

 private:
  std::FILE* stream_;
  const char* unit_;
  bool terminal_;
  int lastPercent_ = -1;  // -1: nothing drawn on this line
  bool drawnLast_ = false;
  std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace talvo
