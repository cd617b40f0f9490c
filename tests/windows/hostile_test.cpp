// Hostile entries for the real plugin inside the stand-in player: names that are no readable disk
// file, files cut short or full of junk, a file past 4 GiB, names of 255 to 4,000 bytes, and the
// longest caption with every byte escaped. Each opens one page, from the file's tag or else
// from the caption, and a second message for the same name opens nothing more.
#include <windows.h>
#include <winioctl.h>

#include "child.h"
#include "player_fixture.h"
#include "sandbox.h"

namespace {

// What stands under the entry's name while the first message is handled.
enum class OnDisk {
  kNothing,
  kFile,
  kFolder,
  kHeldFile,    // the file, held open by this process with no sharing
  kSharedFile,  // the file, held open for writing by this process, sharing reads and writes
  kPipe,        // a named pipe that nobody writes to
  kSparseFile,  // a decoy tag 200 bytes in, then nothing up to the bytes at the end, past 4 GiB
};

struct HostileRow {
  const char* name;
  OnDisk onDisk;
  std::string bytes;
  // The entry's name: "<name>.mp3" in the sandbox; with `length`, a name in the sandbox of
  // exactly that many bytes; with `entry`, that text as it stands.
  std::size_t length;
  const char* entry;
  std::string caption;  // set after play; empty: the entry's own, "1. Band - Song - Winamp"
  std::string query;    // the page address after "?"
};

void PrintTo(const HostileRow& row, std::ostream* out) {
  *out << row.name;
}

constexpr char kFromCaption[] = "title=1.+Band+%2d+Song&singer=";

// A reader that keeps only the low 32 bits of the size or the position lands 200 bytes in.
constexpr LONGLONG kSparseSize = (LONGLONG{1} << 32) + 200 + 128;
constexpr LONGLONG kSparseDecoyAt = 200;

std::string Escaped(std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string escaped;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    escaped += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
  }
  return escaped;
}

// The caption's song text: 2,038 bytes, none of which the encoder keeps as they are, cycling
// through every such byte but the two that would end a script line.
std::string EscapedSongText() {
  std::string escapable;
  for (int byte = 0x01; byte <= 0xFF; ++byte) {
    const bool kept = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= 'a' && byte <= 'z') || byte == '@' || byte == '.' || byte == ' ';
    if (!kept && byte != '\n' && byte != '\r') escapable += static_cast<char>(byte);
  }
  std::string text;
  while (text.size() < 2038) text += escapable[text.size() % escapable.size()];
  return text;
}

// The longest caption the plugin reads, 2,047 bytes: the song text, then the player's name.
std::string LongestCaption() {
  return EscapedSongText() + " - Winamp";
}

// The last 128 bytes of a file: "TAG", then junk where the fields are. The title has neither a
// space nor a NUL, so all 30 bytes go; the artist stops at its NUL.
std::string JunkBlock() {
  std::string block = "TAG";
  block += "\x01\x02\x1f\x7f\x80\x81\x9f\xa0\xfe\xff";
  block += "\t\x1b\x08%&=+?#/";
  block += "\xc7\xd1\xb1\xdb\xe4\xbd\xa0\xe5\xa5\xbd";
  block += std::string("\xee\xee\0", 3) + std::string(25, '\x99') + "  ";
  block += std::string(64, '\xff') + '\0';
  return block;
}

std::vector<HostileRow> HostileRows() {
  const std::string audio(300, '\x55');
  const std::string block = Id3v1Block("Night Song", "Some Band");
  const std::string longName = Id3v1Block("Long Name", "Kept Whole");
  const char* const longPage = "title=Long+Name&singer=Kept+Whole";
  return {
      {"FolderNamedLikeASong", OnDisk::kFolder, "", 0, nullptr, "", kFromCaption},
      {"UrlEntry", OnDisk::kNothing, "", 0, "http://host/stream", "", kFromCaption},
      {"NulDevice", OnDisk::kNothing, "", 0, "NUL", "", kFromCaption},
      // Reading the tail of a pipe nobody writes to would hold the player's window thread.
      {"PipeNobodyWritesTo", OnDisk::kPipe, "", 0, nullptr, "", kFromCaption},
      {"FileHeldWithoutSharing", OnDisk::kHeldFile, audio + block, 0, nullptr, "", kFromCaption},
      // As the player may hold the file it plays.
      {"FileHeldForWritingWithSharing", OnDisk::kSharedFile, audio + block, 0, nullptr, "",
       "title=Night+Song&singer=Some+Band"},
      {"EmptyFile", OnDisk::kFile, "", 0, nullptr, "", kFromCaption},
      {"FileOf127BytesStartingWithTag", OnDisk::kFile, block.substr(0, 127), 0, nullptr, "",
       kFromCaption},
      {"FileOfExactlyOneBlock", OnDisk::kFile, Id3v1Block("Fit", "Exact"), 0, nullptr, "",
       "title=Fit&singer=Exact"},
      {"TagOfBinaryJunk", OnDisk::kFile, audio + "TAG" + JunkBlock(), 0, nullptr, "",
       "title=%01%02%1f%7f%80%81%9f%a0%fe%ff%09%1b%08%25%26%3d%2b%3f%23%2f"
       "%c7%d1%b1%db%e4%bd%a0%e5%a5%bd&singer=%ee%ee"},
      {"SparseFilePast4GiB", OnDisk::kSparseFile, Id3v1Block("Past 4 GiB", "Sparse"), 0, nullptr,
       "", "title=Past+4+GiB&singer=Sparse"},
      // Names that ANSI calls can still open (under MAX_PATH) are real files with a tag: a name
      // cut short would miss them. Longer ones exist nowhere and take the caption.
      {"Name255Bytes", OnDisk::kFile, audio + longName, 255, nullptr, "", longPage},
      {"Name256Bytes", OnDisk::kFile, audio + longName, 256, nullptr, "", longPage},
      {"Name300Bytes", OnDisk::kNothing, "", 300, nullptr, "", kFromCaption},
      {"Name4000Bytes", OnDisk::kNothing, "", 4000, nullptr, "", kFromCaption},
      {"LongestCaptionAllEscaped", OnDisk::kFile, audio, 0, nullptr, LongestCaption(),
       "title=" + Escaped(EscapedSongText()) + "&singer="},
  };
}

// The entry's name inside the sandbox, for the rows that put something there.
std::string SandboxName(const HostileRow& row) {
  const std::size_t folder = Sandbox::Get().folder().size() + 1;
  if (row.length <= folder + 4) return std::string(row.name) + ".mp3";
  return std::string(row.length - folder - 4, 'x') + ".mp3";
}

std::string EntryName(const HostileRow& row) {
  if (row.entry != nullptr) return row.entry;
  if (row.onDisk == OnDisk::kPipe) {
    return R"(\\.\pipe\talvo-tests-)" + std::to_string(GetCurrentProcessId());
  }
  return Sandbox::Get().Path(SandboxName(row));
}

bool WriteAt(HANDLE file, LONGLONG at, const std::string& bytes) {
  LARGE_INTEGER position{};
  position.QuadPart = at;
  DWORD count = 0;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
         WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) &&
         count == bytes.size();
}

bool WriteSparse(const std::string& path, const std::string& tail) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Where the file system cannot mark it sparse, a file system that leaves holes unwritten (as
  // Linux ones do under Wine) still keeps the 4 GiB off the disk.
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
  const bool written = WriteAt(file, kSparseDecoyAt, Id3v1Block("Low 32 Bits", "Decoy")) &&
                       WriteAt(file, kSparseSize - static_cast<LONGLONG>(tail.size()), tail);
  CloseHandle(file);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  return written && GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) &&
         ((LONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow) == kSparseSize;
}

// What a row puts under the entry's name, undone when the row ends: a handle held is closed, a
// file of 4 GiB is removed.
class Placed {
 public:
  Placed() = default;
  ~Placed() {
    Release();
    if (!removeAtEnd_.empty()) DeleteFileA(removeAtEnd_.c_str());
  }
  Placed(const Placed&) = delete;
  Placed& operator=(const Placed&) = delete;

  // Empty when it is in place, else what went wrong.
  std::string Place(const HostileRow& row) {
    const Sandbox& sandbox = Sandbox::Get();
    const std::string name = SandboxName(row);
    const std::string path = EntryName(row);
    switch (row.onDisk) {
      case OnDisk::kNothing:
        return "";
      case OnDisk::kFile:
        return sandbox.Write(name, row.bytes) ? "" : "cannot write " + path;
      case OnDisk::kFolder:
        return sandbox.MakeFolder(name) ? "" : "cannot make " + path;
      case OnDisk::kHeldFile:
        if (!sandbox.Write(name, row.bytes)) return "cannot write " + path;
        return Hold(path);
      case OnDisk::kSharedFile:
        if (!sandbox.Write(name, row.bytes)) return "cannot write " + path;
        held_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        return held_ != INVALID_HANDLE_VALUE ? "" : "cannot open " + path;
      case OnDisk::kPipe:
        held_ = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 4096, 4096,
                                 0, nullptr);
        return held_ != INVALID_HANDLE_VALUE ? "" : "cannot make the pipe " + path;
      case OnDisk::kSparseFile:
        removeAtEnd_ = path;
        return WriteSparse(path, row.bytes) ? "" : "cannot make a file of 4 GiB and more: " + path;
    }
    return "nothing to place";
  }

  void Release() {
    if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
    held_ = INVALID_HANDLE_VALUE;
  }

 private:
  // The plugin opens with every sharing mode; with this handle open, that must fail.
  std::string Hold(const std::string& path) {
    held_ = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held_ == INVALID_HANDLE_VALUE) return "cannot open " + path;
    HANDLE shared = CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (shared == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) return "";
    if (shared != INVALID_HANDLE_VALUE) CloseHandle(shared);
    return "the handle without sharing does not keep others out of " + path;
  }

  HANDLE held_ = INVALID_HANDLE_VALUE;
  std::string removeAtEnd_;
};

class Hostile : public PlayerTest, public testing::WithParamInterface<HostileRow> {};

TEST_P(Hostile, OpensOnePageFromTheTagOrTheCaption) {
  const HostileRow& row = GetParam();
  const std::string entry = EntryName(row);
  ASSERT_TRUE(row.length == 0 || entry.size() == row.length) << entry.size() << " bytes";
  Placed placed;
  ASSERT_EQ(placed.Place(row), "");

  std::vector<std::string> commands = {"add \"" + entry + "\" Band - Song", "play 1"};
  if (!row.caption.empty()) commands.push_back("caption " + row.caption);
  commands.insert(commands.end(), {"send WM_COMMAND 0 0", "pump"});
  Run({"init", "pump"});
  const std::vector<std::string> first = Only(Run(commands), {"debug", "browser"});
  // The same name again, now readable if it was held: still nothing more.
  placed.Release();
  const std::vector<std::string> again =
      Only(Run({"send WM_COMMAND 0 0", "pump", "post WM_TIMER 0 0", "pump"}), {"debug", "browser"});

  const std::string address = std::string(kShowPage) + "?" + row.query;
  EXPECT_EQ(Join(first), Join({"debug " + address, "browser " + address}));
  EXPECT_EQ(Join(again), "");
}

INSTANTIATE_TEST_SUITE_P(Hostile, Hostile, testing::ValuesIn(HostileRows()),
                         [](const testing::TestParamInfo<HostileRow>& row) {
                           return std::string(row.param.name);
                         });

// The longest address, over 6 KiB, as a debugger receives it: the player runs as a child under
// this test's debugging. A script carries the caption's bytes unchanged, as arguments would not.
TEST(HostileDebugOutput, LongestCaptionReachesTheDebuggerWhole) {
  if (const std::string why = WhyNoDebugger(); !why.empty()) GTEST_SKIP() << why;
  const Sandbox& sandbox = Sandbox::Get();
  ASSERT_TRUE(sandbox.Write("longest-caption.mp3", std::string(300, '\x55')));
  const std::vector<std::string> script = {"init",
                                           "pump",
                                           Expand(R"(add "{dir}\longest-caption.mp3" Band - Song)"),
                                           "play 1",
                                           "caption " + LongestCaption(),
                                           "send WM_COMMAND 0 0",
                                           "pump",
                                           "send WM_COMMAND 0 0",
                                           "pump"};
  ASSERT_TRUE(sandbox.Write("longest-caption.txt", Join(script)));

  const ChildRun run = RunChild(BesideProgram("standin-host.exe"),
                                {"--plugin", BesideProgram("gen_talvolyrics.dll"), "--script",
                                 sandbox.Path("longest-caption.txt")},
                                sandbox.folder(), true);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0U) << run.errors;

  const std::string address =
      std::string(kShowPage) + "?title=" + Escaped(EscapedSongText()) + "&singer=";
  EXPECT_EQ(Join(run.debugOutput), Join({address}));
  EXPECT_EQ(Join(Only(run.out, {"browser"})),
            Join({"browser open", std::string("browser ") + kIndexPage, "browser " + address}));
}

}  // namespace
