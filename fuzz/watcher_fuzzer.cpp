// WatchWndProc inside the fake player, driven by an arbitrary sequence of steps, each checked
// against what the player must have seen, answered, queued and been told.
//
// The input is a list of steps: an opcode byte, then its operands. b is the next byte and w the
// next two (little-endian); reading past the end gives zeros, so every input decodes.
//   op % 8 == 0  state     playing state {1, 0, 2, -1, 257, INT32_MAX, INT32_MIN, 2^32 + 1}[b % 8]
//   op % 8 == 1  position  b as a signed byte; the playlist has entries 0 to 7
//   op % 8 == 2  name      entry b % 8 gets a name of kind b % 8:
//                            0 none (null), 1 empty, 2 a copy of entry b % 8, 3 entry b % 8 with
//                            the case of its last ASCII letter flipped, 4 b % 64 input bytes,
//                            5 w % 8192 copies of byte b, 6 sample file b % 6, 7 sample file b % 6
//                            named through w % 1800 "./" segments
//   op % 8 == 3  caption   kind b % 4: 0 b input bytes; 1 b input bytes and " - Winamp";
//                            2 w % 4096 copies of byte b with marker b % 4 ("- Winamp",
//                            "- WINAMP", "- winamp", "-Winamp") written at w % (length + 1),
//                            cut at the end; 3 empty
//   op % 8 == 4  send      kind b % 8: 0 and 1 the queries 104 and 125; 2 the query 211 with
//                            wParam b % 10; 3 WM_GETTEXT into a buffer of b + 1 bytes;
//                            4 WM_WA_IPC 241 with wParam 0; 5 WM_WA_IPC with lParam b;
//                            6 message w with wParam b and lParam b; 7 WM_TIMER with wParam b
//   op % 8 == 5  pump      the player handles its queued messages
//   op % 8 == 6  play      the player plays entry b % 8 (state 1)
//   op % 8 == 7  tick      WM_TIMER with wParam 0
// Names of kinds 4 and 5 lie in a folder that does not exist. The sample files are made once per
// process and their tags are known here; every other name identifies by the caption.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "fake_host/fake_host.h"
#include "identify/identify.h"
#include "watcher/watcher.h"

namespace {

constexpr UINT kTimer = 0x0113;
constexpr std::size_t kEntries = 8;

std::string TagBlock(std::string_view title, char titlePad, std::string_view artist,
                     char artistPad) {
  std::string block = "TAG";
  block.append(title).append(30 - title.size(), titlePad);
  block.append(artist).append(30 - artist.size(), artistPad);
  block.append("Album").append(25, ' ').append("1999").append(30, '\0').append(1, '\x0c');
  return block;
}

struct Sample {
  const char* name;
  std::string contents;
  bool tagged;
  std::string title;   // as the watcher copies the trimmed field: up to 30 bytes, up to a NUL
  std::string singer;  // likewise
};

// Files with and without a tag; the folder is removed at exit.
class Samples {
 public:
  static constexpr std::size_t kCount = 6;

  Samples() {
    dir_ = (std::filesystem::temp_directory_path() / "talvo-watch-XXXXXX").string();
    Require(mkdtemp(dir_.data()) != nullptr, "a sample folder can be made in TMPDIR");
    for (const Sample& sample : samples_) {
      std::ofstream(Path(sample), std::ios::binary) << sample.contents;
    }
  }
  ~Samples() {
    for (const Sample& sample : samples_) unlink(Path(sample).c_str());
    rmdir(dir_.c_str());
  }
  Samples(const Samples&) = delete;
  Samples& operator=(const Samples&) = delete;

  const std::string& dir() const { return dir_; }
  const Sample& at(std::size_t i) const { return samples_.at(i); }
  std::string Path(const Sample& sample) const { return dir_ + "/" + sample.name; }

  // The sample a name opens, if it opens one: the path, with any "./" segments.
  const Sample* Find(std::string_view name) const {
    if (!name.starts_with(dir_ + "/")) return nullptr;
    name.remove_prefix(dir_.size() + 1);
    while (name.starts_with("./")) name.remove_prefix(2);
    for (const Sample& sample : samples_) {
      if (name == sample.name) return &sample;
    }
    return nullptr;
  }

 private:
  std::string dir_;
  const std::array<Sample, kCount> samples_ = {{
      {"night.mp3", std::string(172, 'x') + TagBlock("Night Song", ' ', "Some Band", '\0'), true,
       "Night Song", "Some Band"},
      {"plain.mp3", std::string(200, 'p'), false, "", ""},
      {"short.mp3", "TAG" + std::string(96, ' '), false, "", ""},
      {"lower.mp3", "tag" + TagBlock("Song", ' ', "Band", ' ').substr(3), false, "", ""},
      {"full.mp3", TagBlock("ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", ' ', "", ' '), true,
       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", " "},
      {"bytes.mp3", "xy" + TagBlock("\xc7\xd1 AC-DC_x~y 100% R&B=1  ", '\0', "a@b.c", ' '), true,
       "\xc7\xd1 AC-DC_x~y 100% R&B=1  ", "a@b.c"},
  }};
};

const Samples& TheSamples() {
  static const Samples samples;
  return samples;
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }
  std::string Bytes(std::size_t n) {
    n = std::min(n, size_ - at_);
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return bytes;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A message the player's procedure must have seen; the lParam of the check's own caption read
// points into the watcher's buffer and is not compared.
struct Seen {
  Message message;
  bool anyLParam = false;
};

class Session {
 public:
  Session() {
    lastFile.Assign("");  // the state of a freshly loaded plugin
    host_.InstallWatcher();
    const Samples& samples = TheSamples();
    host_.playlist = {samples.Path(samples.at(0)),
                      samples.Path(samples.at(1)),
                      samples.Path(samples.at(4)),
                      samples.Path(samples.at(5)),
                      samples.dir() + "/absent/Song.mp3",
                      std::nullopt,
                      "",
                      samples.Path(samples.at(3))};
    host_.caption = "Some Band - Night Song - Winamp";
  }

  void Step(Input& input) {
    switch (input.Byte() % 8) {
      case 0:
        host_.playingState = kStates.at(input.Byte() % kStates.size());
        break;
      case 1: {
        const int byte = input.Byte();  // signed: the player may answer a negative position
        host_.position = byte < 128 ? byte : byte - 256;
        break;
      }
      case 2:
        SetName(input);
        break;
      case 3:
        SetCaption(input);
        break;
      case 4:
        SendFrom(input);
        break;
      case 5:
        Pump();
        break;
      case 6:
        host_.Play(input.Byte() % kEntries);
        break;
      default:
        Send(kTimer, 0, 0);
        break;
    }
    Require(std::string_view(lastFile.c_str()) == last_,
            "lastFile is the name of the last request posted");
  }

  void Pump() {
    const std::size_t seenBefore = host_.seen.size();
    const std::size_t linesBefore = host_.debugLines.size();
    const std::size_t openedBefore = host_.opened.size();
    const std::size_t queued = host_.Pending();

    // Each request passes the watcher again; only the first can find a new name to post for.
    std::vector<Seen> expected;
    std::size_t posts = 0;
    for (std::size_t handled = 0; handled < queued + posts; ++handled) {
      if (ExpectCheck(expected)) ++posts;
      expected.push_back({{WM_WA_IPC, reinterpret_cast<WPARAM>(pageAddress), IPC_MBOPEN}});
    }
    Require(host_.Pump() == queued + posts, "the player handles every request posted");
    CheckSeen(seenBefore, expected);
    CheckLines(linesBefore, posts);
    Require(host_.opened.size() == openedBefore + queued + posts, "each request opens a page");
    for (std::size_t i = openedBefore; i < host_.opened.size(); ++i) {
      Require(host_.opened[i] == pageAddress, "a request opens the latest address");
    }
  }

 private:
  static constexpr std::array<LRESULT, 8> kStates = {
      1,
      0,
      2,
      -1,
      257,
      std::numeric_limits<std::int32_t>::max(),
      std::numeric_limits<std::int32_t>::min(),
      static_cast<LRESULT>((std::uint64_t{1} << 32) | 1)};

  const char* EntryName(WPARAM entry) const {
    if (entry >= host_.playlist.size() || !host_.playlist[entry]) return nullptr;
    return host_.playlist[entry]->c_str();
  }

  void SetName(Input& input) {
    auto& entry = host_.playlist.at(input.Byte() % kEntries);
    const Samples& samples = TheSamples();
    switch (input.Byte() % 8) {
      case 0:
        entry = std::nullopt;
        break;
      case 1:
        entry = "";
        break;
      case 2:
        entry = host_.playlist.at(input.Byte() % kEntries);
        break;
      case 3: {
        auto variant = host_.playlist.at(input.Byte() % kEntries);
        if (variant) {
          const std::size_t letter =
              variant->find_last_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
          if (letter != std::string::npos) {
            (*variant)[letter] = static_cast<char>((*variant)[letter] ^ 0x20);
          }
        }
        entry = variant;
        break;
      }
      case 4: {
        const std::size_t length = input.Byte() % 64;
        entry = samples.dir() + "/absent/" + input.Bytes(length);
        break;
      }
      case 5: {
        const std::size_t length = input.Word() % 8192;
        entry = samples.dir() + "/absent/" + std::string(length, static_cast<char>(input.Byte()));
        break;
      }
      case 6:
        entry = samples.Path(samples.at(input.Byte() % Samples::kCount));
        break;
      default: {
        const Sample& sample = samples.at(input.Byte() % Samples::kCount);
        std::string path = samples.dir() + "/";
        for (std::size_t n = input.Word() % 1800; n > 0; --n) path += "./";
        entry = path + sample.name;
        break;
      }
    }
  }

  void SetCaption(Input& input) {
    switch (input.Byte() % 4) {
      case 0:
        host_.caption = input.Bytes(input.Byte());
        break;
      case 1:
        host_.caption = input.Bytes(input.Byte()) + " - Winamp";
        break;
      case 2: {
        static constexpr std::array<std::string_view, 4> kMarkers = {"- Winamp", "- WINAMP",
                                                                     "- winamp", "-Winamp"};
        const std::size_t length = input.Word() % 4096;
        std::string caption(length, static_cast<char>(input.Byte()));
        const std::size_t at = input.Word() % (length + 1);
        const std::string_view marker = kMarkers.at(input.Byte() % kMarkers.size());
        caption.replace(at, std::min(marker.size(), length - at), marker.substr(0, length - at));
        host_.caption = caption;
        break;
      }
      default:
        host_.caption.clear();
        break;
    }
  }

  void SendFrom(Input& input) {
    switch (input.Byte() % 8) {
      case 0:
        Send(WM_WA_IPC, 0, IPC_ISPLAYING);
        break;
      case 1:
        Send(WM_WA_IPC, 0, IPC_GETLISTPOS);
        break;
      case 2:
        Send(WM_WA_IPC, input.Byte() % 10, IPC_GETPLAYLISTFILE);
        break;
      case 3: {
        std::vector<char> buffer(std::size_t{input.Byte()} + 1);
        Send(WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
        break;
      }
      case 4:
        Send(WM_WA_IPC, 0, IPC_MBOPEN);
        break;
      case 5:
        Send(WM_WA_IPC, 0, input.Byte());
        break;
      case 6: {
        const UINT msg = input.Word();
        const std::uint8_t value = input.Byte();
        // The player reads through these wParams; 0 keeps it from following a made-up pointer.
        const bool pointer = msg == WM_GETTEXT || (msg == WM_WA_IPC && value == IPC_MBOPEN);
        Send(msg, pointer ? WPARAM{0} : WPARAM{value}, value);
        break;
      }
      default:
        Send(kTimer, input.Byte(), 0);
        break;
    }
  }

  // What the player's own procedure answers, from its state before the message.
  LRESULT PlayerResult(UINT msg, WPARAM wParam, LPARAM lParam) const {
    if (msg == WM_GETTEXT) {
      return wParam == 0 ? 0 : static_cast<LRESULT>(std::min(host_.caption.size(), wParam - 1));
    }
    if (msg == WM_WA_IPC && lParam == IPC_ISPLAYING) return host_.playingState;
    if (msg == WM_WA_IPC && lParam == IPC_GETLISTPOS) return host_.position;
    if (msg == WM_WA_IPC && lParam == IPC_GETPLAYLISTFILE) {
      return reinterpret_cast<LRESULT>(EntryName(wParam));
    }
    return FakeHost::OwnResult(msg, wParam, lParam);
  }

  static bool Filtered(UINT msg, LPARAM lParam) {
    return msg == WM_GETTEXT ||
           (msg == WM_WA_IPC &&
            (lParam == IPC_ISPLAYING || lParam == IPC_GETLISTPOS || lParam == IPC_GETPLAYLISTFILE));
  }

  // Appends what one check makes the player see; answers whether it posts a request, and then
  // takes the name as the last one handled.
  bool ExpectCheck(std::vector<Seen>& expected) {
    expected.push_back({{WM_WA_IPC, 0, IPC_ISPLAYING}});
    if (host_.playingState != 1) return false;
    expected.push_back({{WM_WA_IPC, 0, IPC_GETLISTPOS}});
    const auto entry = static_cast<WPARAM>(host_.position);
    expected.push_back({{WM_WA_IPC, entry, IPC_GETPLAYLISTFILE}});
    const char* name = EntryName(entry);
    if (name == nullptr || last_ == name) return false;

    const Sample* sample = TheSamples().Find(name);
    if (sample == nullptr || !sample->tagged) {
      expected.push_back({{WM_GETTEXT, kCaptionSize, 0}, true});
      const std::string_view caption(host_.caption);
      const std::string_view text = caption.substr(0, std::min(caption.size(), kCaptionSize - 1));
      expectedCaption_ = text.substr(0, text.find('\0'));
    }
    expectedSample_ = sample != nullptr && sample->tagged ? sample : nullptr;
    last_ = name;
    return true;
  }

  void Send(UINT msg, WPARAM wParam, LPARAM lParam) {
    const std::size_t seenBefore = host_.seen.size();
    const std::size_t linesBefore = host_.debugLines.size();
    const std::size_t pendingBefore = host_.Pending();
    const LRESULT expectedResult = PlayerResult(msg, wParam, lParam);

    std::vector<Seen> expected;
    const bool filtered = Filtered(msg, lParam);
    const bool posts = !filtered && ExpectCheck(expected);
    expected.push_back({{msg, wParam, lParam}});

    const LRESULT result = host_.Send(msg, wParam, lParam);
    Require(result == expectedResult, "every message answers what the player's procedure did");
    Require(!filtered || host_.seen.size() == seenBefore + 1,
            "WM_GETTEXT and the three queries pass straight through, with no query of their own");
    CheckSeen(seenBefore, expected);
    Require(host_.Pending() == pendingBefore + (posts ? 1U : 0U),
            "a request is posted exactly when playing (1) a name other than the last one");
    CheckLines(linesBefore, posts ? 1U : 0U);
  }

  void CheckSeen(std::size_t from, const std::vector<Seen>& expected) const {
    Require(host_.seen.size() - from == expected.size(), "the player sees the expected messages");
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const Message& seen = host_.seen[from + i];
      const Message& want = expected[i].message;
      Require(seen.msg == want.msg && seen.wParam == want.wParam &&
                  (expected[i].anyLParam || seen.lParam == want.lParam),
              "the player sees the expected messages, in order");
    }
  }

  // The debugger lines of the requests just posted: one each, the address itself.
  void CheckLines(std::size_t from, std::size_t posts) const {
    Require(host_.debugLines.size() == from + posts, "one debugger line per request posted");
    if (posts == 0) return;
    const std::string& line = host_.debugLines.back();
    Require(line == pageAddress, "the debugger line is the address posted");
    const auto query = ReadShowPageAddress(line);
    Require(query.has_value(), "every address posted is well formed");
    if (expectedSample_ != nullptr) {
      Require(query->title == expectedSample_->title, "a tagged file's title is sent");
      Require(query->singer == expectedSample_->singer, "a tagged file's artist is sent");
    } else {
      CheckCaptionCut(expectedCaption_, query->title);
      Require(query->singer.empty(), "without a tag the singer is empty");
    }
  }

  FakeHost host_;
  std::string last_;
  const Sample* expectedSample_ = nullptr;
  std::string expectedCaption_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Session session;
  Input input(data, size);
  while (!input.empty()) session.Step(input);
  session.Pump();
  return 0;
}
