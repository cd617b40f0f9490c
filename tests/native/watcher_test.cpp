#include "watcher/watcher.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_host/fake_host.h"

#if defined(__SANITIZE_ADDRESS__)
#define TALVO_COUNTS_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TALVO_COUNTS_MALLOC 1
#endif
#endif

#ifdef TALVO_COUNTS_MALLOC
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// GCC's runtime provides the hook but ships no header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));
#endif
#endif

void PrintTo(const Message& m, std::ostream* os) {
  *os << "{msg 0x" << std::hex << m.msg << ", wParam 0x" << m.wParam << std::dec << ", lParam "
      << m.lParam << "}";
}

namespace {

namespace fs = std::filesystem;
using Log = std::vector<Message>;

const std::string kShowPage =
    std::string("http://") + LyricsHost + "/kr/lyrics_plugin_show.html?title=";
// What the caption path makes of the fixture's caption.
const std::string kCaptionPage = kShowPage + "Some+Band+%2d+Night+Song&singer=";

constexpr Message kPlayingQuery{WM_WA_IPC, 0, IPC_ISPLAYING};
constexpr Message kPositionQuery{WM_WA_IPC, 0, IPC_GETLISTPOS};
constexpr Message kTimer{0x0113, 7, 9};  // any message the player gets will do

Message FileQuery(LRESULT position) {
  return {WM_WA_IPC, static_cast<WPARAM>(position), IPC_GETPLAYLISTFILE};
}

// The three queries of a check for the entry at `position`, then the message that caused them.
Log Checked(const Message& m, LRESULT position = 0) {
  return {kPlayingQuery, kPositionQuery, FileQuery(position), m};
}

// The caption buffer is the watcher's own; where its read lands in the log is what matters.
Log WithoutCaptionBuffer(Log log) {
  for (Message& m : log) {
    if (m.msg == WM_GETTEXT) m.lParam = 0;
  }
  return log;
}

std::string Field(const std::string& text, char pad = '\0') {
  return text + std::string(30 - text.size(), pad);
}

std::string NameOf(std::size_t length, char last = 'n') {
  return "/m/" + std::string(length - 4, 'n') + last;
}

class Watcher : public ::testing::Test {
 protected:
  void SetUp() override {
    lastFile.Assign("");  // as a freshly loaded module has it
    host_.InstallWatcher();
    host_.caption = "Some Band - Night Song - Winamp";
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  LRESULT Send(const Message& m) { return host_.Send(m.msg, m.wParam, m.lParam); }

  // Makes `name` the only playlist entry, plays it and sends one ordinary message.
  LRESULT PlayAndSend(const std::string& name) {
    host_.playlist = {name};
    host_.Play(0);
    return Send(kTimer);
  }

  std::string WriteFile(const std::string& name, const std::string& bytes) {
    if (dir_.empty()) {
      std::string pattern = ::testing::TempDir() + "/talvo-watch-XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no temp directory";
      dir_ = pattern;
    }
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    return path.string();
  }

  std::string TaggedFile(const std::string& name, const std::string& title,
                         const std::string& artist) {
    return WriteFile(name, std::string(500, 'x') + "TAG" + title + artist + std::string(65, 'r'));
  }

  FakeHost host_;
  fs::path dir_;
};

TEST_F(Watcher, AnythingButPlayingStopsAtTheFirstQuery) {
  std::vector<LRESULT> states = {0, 2, -1};
  // Only the low half says 1: not playing.
  if constexpr (sizeof(LRESULT) > 4) states.push_back(static_cast<LRESULT>(0x100000001LL));
  host_.playlist = {"/music/a.mp3"};
  for (const LRESULT state : states) {
    SCOPED_TRACE(state);
    host_.seen.clear();
    host_.playingState = state;
    EXPECT_EQ(Send(kTimer), FakeHost::OwnResult(kTimer.msg, kTimer.wParam, kTimer.lParam));
    EXPECT_EQ(host_.seen, (Log{kPlayingQuery, kTimer}));
  }
  EXPECT_EQ(host_.Pending(), 0u);
  EXPECT_TRUE(host_.debugLines.empty());
  EXPECT_STREQ(lastFile.c_str(), "");

  host_.playingState = 1;
  Send(kTimer);
  EXPECT_EQ(host_.Pending(), 1u);
}

TEST_F(Watcher, QueriesTheCheckCausesPassStraightThrough) {
  host_.playlist = {"/music/a.mp3", "/music/b.mp3"};
  host_.Play(1);  // a file not handled yet: any check would open its page
  char text[64];
  struct Row {
    Message message;
    LRESULT answer;
  };
  const Row rows[] = {
      {{WM_WA_IPC, 0, IPC_ISPLAYING}, 1},
      {{WM_WA_IPC, 0, IPC_GETLISTPOS}, 1},
      {{WM_WA_IPC, 1, IPC_GETPLAYLISTFILE}, reinterpret_cast<LRESULT>(host_.playlist[1]->c_str())},
      {{WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text)},
       static_cast<LRESULT>(host_.caption.size())},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message.lParam);
    host_.seen.clear();
    EXPECT_EQ(Send(row.message), row.answer);
    EXPECT_EQ(host_.seen, Log{row.message});
  }
  EXPECT_EQ(host_.Pending(), 0u);
  EXPECT_STREQ(lastFile.c_str(), "");
}

TEST_F(Watcher, EveryOtherMessageRunsTheCheck) {
  host_.playlist = {"/music/a.mp3", "/music/b.mp3", "/music/c.mp3"};
  host_.Play(2);
  lastFile.Assign("/music/c.mp3");  // handled already: each check ends at the name
  const Message messages[] = {
      {WM_WA_IPC, 0, IPC_MBOPEN},
      {WM_WA_IPC, 0, 0},
      {WM_WA_IPC, 0, 105},
      {WM_WA_IPC + 1, 0, IPC_ISPLAYING},  // the code alone is not a query
      {0x000E, 0, 0},                     // WM_GETTEXTLENGTH, the caption read's neighbour
      {0x000C, 0, 0},
  };
  for (const Message& m : messages) {
    SCOPED_TRACE(::testing::PrintToString(m));
    host_.seen.clear();
    Send(m);
    EXPECT_EQ(host_.seen, Checked(m, 2));
  }
  EXPECT_EQ(host_.Pending(), 0u);
}

TEST_F(Watcher, ForwardsEveryMessageUnchangedInOrder) {
  host_.playlist.assign(4, "/music/a.mp3");
  host_.Play(3);
  lastFile.Assign("/music/a.mp3");
  const Message sent[] = {
      {0x0113, 1, 2}, {0x0200, ~WPARAM{0}, -1}, {WM_WA_IPC, 0, IPC_GETLISTPOS},
      {0x0010, 0, 0}, {WM_WA_IPC, 123, 0x7fff},
  };
  std::vector<LRESULT> results;
  for (const Message& m : sent) results.push_back(Send(m));

  Log expected;
  for (const Message& m : sent) {
    const Log part = m.lParam == IPC_GETLISTPOS ? Log{m} : Checked(m, 3);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(host_.seen, expected);
  auto own = [](const Message& m) { return FakeHost::OwnResult(m.msg, m.wParam, m.lParam); };
  EXPECT_EQ(results,
            (std::vector<LRESULT>{own(sent[0]), own(sent[1]), 3, own(sent[3]), own(sent[4])}));
}

TEST_F(Watcher, TaggedFileOpensItsPageOnce) {
  const std::string file = TaggedFile("night.mp3", Field("Night Song"), Field("Some Band"));
  const std::string page = std::string("http://") + LyricsHost +
                           "/kr/lyrics_plugin_show.html?title=Night+Song&singer=Some+Band";
  EXPECT_EQ(PlayAndSend(file), FakeHost::OwnResult(kTimer.msg, kTimer.wParam, kTimer.lParam));
  EXPECT_EQ(host_.seen, Checked(kTimer));  // no caption read on the tag path
  EXPECT_STREQ(pageAddress, page.c_str());
  EXPECT_EQ(host_.debugLines, std::vector<std::string>{page});
  EXPECT_STREQ(lastFile.c_str(), file.c_str());
  EXPECT_TRUE(host_.opened.empty());  // posted, not sent

  host_.seen.clear();
  Send(kTimer);
  EXPECT_EQ(host_.seen, Checked(kTimer));
  EXPECT_EQ(host_.Pending(), 1u);

  // The request passes the watcher too, which finds the name unchanged.
  host_.seen.clear();
  EXPECT_EQ(host_.Pump(), 1u);
  EXPECT_EQ(host_.seen, Checked({WM_WA_IPC, reinterpret_cast<WPARAM>(pageAddress), IPC_MBOPEN}));
  EXPECT_EQ(host_.opened, std::vector<std::string>{page});
  EXPECT_EQ(host_.debugLines.size(), 1u);
  EXPECT_EQ(host_.Pending(), 0u);
}

TEST_F(Watcher, TagFieldsReachTheAddressTrimmedAndBounded) {
  struct Row {
    std::string title;
    std::string artist;
    std::string query;
  };
  const Row rows[] = {
      {Field("Hello", ' '), Field("Some Band"), "Hello&singer=Some+Band"},
      // No NUL in either field: each copy stops at 30 bytes, not in the next field.
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", "abcdefghijklmnopqrstuvwxyzABCD",
       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcd&singer=abcdefghijklmnopqrstuvwxyzABCD"},
      {Field(""), Field(""), "&singer="},
      {std::string(30, ' '), Field("x"), "+&singer=x"},
      {Field("\xc7\xd1"), Field("R&B"), "%c7%d1&singer=R%26B"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.query);
    PlayAndSend(TaggedFile("song" + std::to_string(n++) + ".mp3", row.title, row.artist));
    EXPECT_STREQ(pageAddress, (kShowPage + row.query).c_str());
  }
  EXPECT_EQ(host_.debugLines.size(), std::size(rows));
}

TEST_F(Watcher, UntaggedFileTakesTheCaption) {
  const std::string files[] = {
      WriteFile("plain.mp3", std::string(500, 'x')),
      WriteFile("lower.mp3", std::string(500, 'x') + "tag" + std::string(125, 'x')),
      (fs::path(::testing::TempDir()) / "talvo-absent" / "a.mp3").string(),
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    host_.seen.clear();
    PlayAndSend(file);
    EXPECT_STREQ(pageAddress, kCaptionPage.c_str());
    EXPECT_EQ(host_.debugLines.back(), kCaptionPage);
    EXPECT_EQ(
        WithoutCaptionBuffer(host_.seen),
        (Log{kPlayingQuery, kPositionQuery, FileQuery(0), {WM_GETTEXT, kCaptionSize, 0}, kTimer}));
  }
}

TEST_F(Watcher, LongestCaptionFitsThePageAddress) {
  host_.caption = std::string(kCaptionSize - 9, '\xff') + "- Winamp";
  PlayAndSend("/music/a.mp3");
  std::string escaped;
  for (std::size_t i = 0; i < kCaptionSize - 9; ++i) escaped += "%ff";
  EXPECT_EQ(std::string(pageAddress), kShowPage + escaped + "&singer=");

  // The longest text a caption can give, every byte escaped, fills the buffer exactly.
  std::vector<char> encoded(EncodedSize(kCaptionSize - 1));
  EncodeQueryText(std::string(kCaptionSize - 1, '\xff').c_str(), encoded.data());
  std::vector<char> address(kPageAddressSize);
  ShowPageAddress(address.data(), encoded.data(), nullptr);
  EXPECT_EQ(std::strlen(address.data()), kPageAddressSize - 1);
}

TEST_F(Watcher, NoNameChangesNothing) {
  host_.playlist = {"/music/a.mp3", std::nullopt};
  host_.Play(0);
  Send(kTimer);
  ASSERT_EQ(host_.Pending(), 1u);
  for (const std::size_t entry : {1u, 5u}) {  // a null name, and an entry past the end
    host_.Play(entry);
    host_.seen.clear();
    Send(kTimer);
    EXPECT_EQ(host_.seen, Checked(kTimer, static_cast<LRESULT>(entry)));
  }
  EXPECT_EQ(host_.Pending(), 1u);
  EXPECT_EQ(host_.debugLines.size(), 1u);
  EXPECT_STREQ(lastFile.c_str(), "/music/a.mp3");
}

TEST_F(Watcher, EachChangeOfFileOpensOnePage) {
  host_.playlist = {"/music/a.mp3", "/music/b.mp3", "/music/A.mp3"};
  struct Step {
    std::size_t entry;
    bool opens;
  };
  // A, A again, B, A again, then a name that differs from A only in letter case.
  const Step steps[] = {{0, true}, {0, false}, {1, true}, {0, true}, {2, true}};
  std::vector<std::string> pages;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.entry);
    host_.caption = "Song " + std::to_string(step.entry) + " - Winamp";
    host_.Play(step.entry);
    Send(kTimer);
    if (step.opens) pages.push_back(kShowPage + "Song+" + std::to_string(step.entry) + "&singer=");
    EXPECT_EQ(host_.Pending(), step.opens ? 1u : 0u);
    EXPECT_EQ(host_.debugLines, pages);
    EXPECT_STREQ(pageAddress, pages.back().c_str());
    EXPECT_STREQ(lastFile.c_str(), host_.playlist[step.entry]->c_str());
    host_.Pump();
    EXPECT_EQ(host_.opened, pages);
  }
}

TEST_F(Watcher, LongNamesAreRememberedWhole) {
  std::size_t pages = 0;
  for (const std::size_t length : {255u, 256u, 300u, 5000u}) {
    SCOPED_TRACE(length);
    const std::string name = NameOf(length);
    PlayAndSend(name);
    EXPECT_EQ(host_.debugLines.size(), ++pages);
    EXPECT_EQ(std::string(lastFile.c_str()), name);
    Send(kTimer);
    EXPECT_EQ(host_.debugLines.size(), pages);
  }
  // Long, short, the long one again, then one that differs from it only in its last byte.
  for (const std::string& name :
       {NameOf(300), std::string("/m/s.mp3"), NameOf(300), NameOf(300, 'o')}) {
    PlayAndSend(name);
    EXPECT_EQ(std::string(lastFile.c_str()), name);
  }
  EXPECT_EQ(host_.debugLines.size(), pages + 4);
}

TEST_F(Watcher, TwoChangesBeforeThePlayerHandlesTheFirst) {
  host_.playlist = {"/music/a.mp3", "/music/b.mp3"};
  host_.caption = "First - Winamp";
  host_.Play(0);
  Send(kTimer);
  host_.caption = "Second - Winamp";
  host_.Play(1);
  Send(kTimer);
  const std::string second = kShowPage + "Second&singer=";
  EXPECT_EQ(host_.debugLines, (std::vector<std::string>{kShowPage + "First&singer=", second}));
  // Both requests point at pageAddress, which holds the newer address by then.
  EXPECT_EQ(host_.Pump(), 2u);
  EXPECT_EQ(host_.opened, (std::vector<std::string>{second, second}));
}

#ifdef TALVO_COUNTS_MALLOC
std::atomic<bool> counting{false};
std::atomic<std::size_t> mallocs{0};

void OnMalloc(const volatile void*, std::size_t) {
  if (counting) ++mallocs;
}
void OnFree(const volatile void*) {}
#endif

class WatcherAllocation : public Watcher {
 protected:
  void SetUp() override {
#ifdef TALVO_COUNTS_MALLOC
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree) != 0;
    ASSERT_TRUE(installed);
#else
    GTEST_SKIP() << "counting allocations needs the AddressSanitizer allocator's hooks";
#endif
    Watcher::SetUp();
    // The logs get room up front so that only the code under test can allocate.
    host_.seen.reserve(256);
    host_.debugLines.reserve(16);
    // The fake player copies each debug line into a std::string: its own allocation, not ours.
    playerShare_ = Count([] { HostDebugOutput(kCaptionPage.c_str()); });
    host_.debugLines.clear();
  }

  template <typename Run>
  std::size_t Count(Run run) {
#ifdef TALVO_COUNTS_MALLOC
    mallocs = 0;
    counting = true;
    run();
    counting = false;
    return mallocs;
#else
    run();
    return 0;
#endif
  }

  std::size_t playerShare_ = 0;
};

TEST_F(WatcherAllocation, SameFileAllocatesNothing) {
  PlayAndSend(TaggedFile("a.mp3", Field("Night Song"), Field("Some Band")));
  ASSERT_EQ(host_.debugLines.size(), 1u);
  EXPECT_EQ(Count([&] {
              for (int i = 0; i < 10; ++i) Send(kTimer);
              Send(kPlayingQuery);
            }),
            0u);
}

TEST_F(WatcherAllocation, ChangesWithOrdinaryNamesAllocateNothing) {
  const std::string tagged = TaggedFile("a.mp3", Field("Night Song"), Field("Some Band"));
  host_.playlist = {tagged, "/music/untagged.mp3", NameOf(255)};
  const std::size_t counted = Count([&] {
    for (const std::size_t entry : {0u, 1u, 2u}) {
      host_.Play(entry);
      Send(kTimer);
    }
  });
  ASSERT_EQ(host_.debugLines.size(), 3u);
  EXPECT_EQ(counted, 3 * playerShare_);
}

TEST_F(WatcherAllocation, LongNameAllocatesOnlyUntilTheBufferHasGrown) {
  // Longer than lastFile holds now, whatever earlier tests left in it.
  const std::size_t length = lastFile.capacity() + 64;
  host_.playlist = {NameOf(length), "/music/short.mp3", NameOf(length, 'o')};
  auto play = [&](std::size_t entry) {
    host_.Play(entry);
    Send(kTimer);
  };
  EXPECT_GT(Count([&] { play(0); }), playerShare_);
  const std::size_t counted = Count([&] {
    play(1);
    play(0);
    play(2);
  });
  ASSERT_EQ(host_.debugLines.size(), 4u);
  EXPECT_STREQ(lastFile.c_str(), host_.playlist[2]->c_str());
  EXPECT_EQ(counted, 3 * playerShare_);
}

}  // namespace
