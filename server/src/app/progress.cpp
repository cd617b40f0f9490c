#include "app/progress.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <string>

namespace talvo {
namespace {

// Below this many files a task is over before a bar would be worth reading.
constexpr std::size_t kBarMinFiles = 200;
constexpr auto kBarInterval = std::chrono::milliseconds(250);
constexpr std::size_t kBarWidth = 30;

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return ::isatty(::fileno(stream)) == 1;
#endif
}

}  // namespace

ProgressBar::ProgressBar(std::FILE* stream, const char* unit)
    : stream_(stream), unit_(unit), terminal_(stream != nullptr && IsTerminal(stream)) {}

void ProgressBar::operator()(std::size_t done, std::size_t total) {
  if (!terminal_ || total < kBarMinFiles) return;
  done = std::min(done, total);
  const int percent = static_cast<int>(done * 100 / total);
  const auto now = std::chrono::steady_clock::now();
  const bool last = done == total;
  if (!last && (percent == lastPercent_ || now - lastDraw_ < kBarInterval)) return;
  if (last && percent == lastPercent_ && drawnLast_) return;
  lastPercent_ = percent;
  lastDraw_ = now;
  drawnLast_ = last;
  const std::size_t filled = done * kBarWidth / total;
  const std::string bar = std::string(filled, '#') + std::string(kBarWidth - filled, '-');
  std::fprintf(stream_, "\r[%s] %zu/%zu %s", bar.c_str(), done, total, unit_);
  std::fflush(stream_);
}

void ProgressBar::Finish() {
  if (lastPercent_ < 0) return;  // nothing drawn
  std::fputc('\n', stream_);
  std::fflush(stream_);
  lastPercent_ = -1;
  drawnLast_ = false;
}

}  // namespace talvo
