// The caption cut on arbitrary captions of any length: the whole input is the caption.
//
// It goes through CutCaption directly, in a buffer exactly one byte longer than the text, and
// through the fake player's window text, which CaptionSongText reads cut to 2047 bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "checks.h"
#include "fake_host/fake_host.h"
#include "identify/identify.h"

namespace {

// Up to the first NUL: what a C string of these bytes holds.
std::string_view AsText(std::string_view bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

void CutDirectly(std::string_view caption) {
  const std::size_t length = caption.size();
  const auto buffer = std::make_unique<char[]>(length + 1);
  std::memcpy(buffer.get(), caption.data(), length);
  buffer[length] = '\0';

  Require(CutCaption(buffer.get()) == buffer.get(), "CutCaption answers its argument");
  const std::string_view song(buffer.get());
  CheckCaptionCut(caption, song);
  // Cut in place: one NUL written where the text ends, every other byte as it was.
  const std::size_t end = song.size();
  Require(end == length || (std::memcmp(buffer.get() + end + 1, caption.data() + end + 1,
                                        length - end - 1) == 0 &&
                            buffer[length] == '\0'),
          "the cut writes nothing past its NUL");
}

void CutThroughPlayer(std::string_view bytes) {
  FakeHost host;
  host.caption.assign(bytes);
  const char* song = CaptionSongText(host.window());

  Require(host.seen.size() == 1 && host.seen[0].msg == WM_GETTEXT, "one WM_GETTEXT reads it");
  Require(host.seen[0].wParam == kCaptionSize, "the window text is read with room for 2048");
  const std::string_view caption =
      AsText(bytes.substr(0, std::min(bytes.size(), std::size_t{2047})));
  const std::string_view text(song);
  Require(text.size() <= 2047, "the song text fits the caption buffer");
  CheckCaptionCut(caption, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CutDirectly(AsText(bytes));
  CutThroughPlayer(bytes);
  return 0;
}
