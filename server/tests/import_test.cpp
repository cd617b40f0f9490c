// Importing an LRCLIB dump with the real program: what it prints and exits with, what the
// server then answers, and the index while an import runs, fails or is stopped.
#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dump_writer.h"
#include "index/store.h"
#include "server_harness.h"
#include "text/text.h"

namespace {

using namespace talvo::e2e;  // NOLINT(google-build-using-namespace)
using talvo::RunProgram;

std::string GetPath(std::string_view title, std::string_view artist) {
  return "/api/get?track_name=" + Encode(title) + "&artist_name=" + Encode(artist);
}

std::uintmax_t SizeOf(const fs::path& file) {
  std::error_code ignored;
  const auto size = fs::file_size(file, ignored);
  return ignored ? 0 : size;
}

class ImportTest : public ServerHarness {
 protected:
  fs::path Database() const { return folder_ / "index.db"; }

  // The program importing file into the test's index; its stderr goes to errors.
  std::unique_ptr<ServerProcess> StartImport(const fs::path& file, const fs::path& errors) const {
    return std::make_unique<ServerProcess>(
        std::vector<std::string>{"--import-lrclib", file.string(), "--db", Database().string()},
        errors);
  }
  // Imports file to the end: the exit status.
  int Import(const fs::path& file) const {
    auto import = StartImport(file, folder_ / "import-errors.txt");
    return import->WaitBounded();
  }
  static std::string Read(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // How many songs the index holds, through a connection of the test's own.
  std::int64_t SongCount() const {
    std::string error;
    auto store = talvo::Store::Open(Database().string(), error);
    EXPECT_NE(store, nullptr) << error;
    return store ? store->SongCount() : -1;
  }
};

// A dump from the repository's generator, imported and then served: every kind of track answers
// as its kind says, each with its current lyrics revision.
TEST_F(ImportTest, AGeneratedDumpAnswersAsItsTracksSay) {
  if (RunProgram({"python3", "-c", "import sqlite3"}) != 0)
    GTEST_SKIP() << "no python3 with sqlite3 to run the dump generator";
  const fs::path dump = folder_ / "dump.sqlite3.gz";
  const fs::path list = folder_ / "tracks.tsv";
  ASSERT_EQ(RunProgram({"python3", TALVO_DUMP_GENERATOR, "3000", dump.string(), "--seed", "7",
                        "--list", list.string()}),
            0);
  {
    auto import = StartImport(dump, folder_ / "import-errors.txt");
    const std::string done = import->WaitFor("imported:");
    EXPECT_EQ(import->WaitBounded(), 0) << Read(folder_ / "import-errors.txt");
    EXPECT_NE(done.find(" from 3000 tracks"), std::string::npos) << done;
  }

  // The tracks by kind, leaving out names given twice (either could answer) and names that fill
  // a tag's field (taken as cut).
  std::map<std::string, int> seen;
  std::vector<std::array<std::string, 3>> tracks;
  {
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);) {
      const auto first = line.find('\t');
      const auto second = line.find('\t', first + 1);
      std::array<std::string, 3> track{line.substr(0, first),
                                       line.substr(first + 1, second - first - 1),
                                       line.substr(second + 1)};
      ++seen[talvo::MatchKey(track[0]) + '\t' + talvo::MatchKey(track[1])];
      tracks.push_back(std::move(track));
    }
  }
  const int port = Start();
  ASSERT_NE(port, 0);
  const struct {
    const char* kind;
    int status;
    const char* synced;  // how syncedLyrics begins
    const char* instrumental;
  } kinds[] = {
      {"plain+synced", 200, "\"[", "false"}, {"plain", 200, "null", "false"},
      {"synced", 200, "\"[", "false"},       {"instrumental", 200, "null", "true"},
      {"none", 404, nullptr, nullptr},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    int asked = 0;
    for (const auto& [artist, title, trackKind] : tracks) {
      if (trackKind != kind.kind || asked == 8 ||
          seen[talvo::MatchKey(artist) + '\t' + talvo::MatchKey(title)] > 1 || title.size() == 30 ||
          artist.size() == 30)
        continue;
      ++asked;
      const Reply reply = Get(port, GetPath(title, artist));
      ASSERT_EQ(reply.status, kind.status) << title << " by " << artist << ": " << reply.body;
      EXPECT_EQ(reply.body.find("superseded"), std::string::npos) << reply.body;
      if (kind.status != 200) continue;
      EXPECT_NE(reply.body.find(std::string("\"syncedLyrics\":") + kind.synced), std::string::npos)
          << reply.body;
      EXPECT_NE(reply.body.find(std::string("\"instrumental\":") + kind.instrumental),
                std::string::npos)
          << reply.body;
    }
    EXPECT_EQ(asked, 8);
  }
}

TEST_F(ImportTest, WhatIsNotADumpIsOneLineAndAFailure) {
  WriteFile(folder_ / "notes.sqlite3", "not a database at all\n");
  EXPECT_EQ(Import(folder_ / "notes.sqlite3"), 1);
  const std::string errors = Read(folder_ / "import-errors.txt");
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_TRUE(errors.starts_with("talvo-lyrics-server: ")) << errors;
  EXPECT_NE(errors.find("not an SQLite database"), std::string::npos) << errors;
}

// While an import holds the index, the server answers from the index as it was; once it is
// committed, from the new one.
TEST_F(ImportTest, PagesAnswerFromTheOldIndexDuringAnImport) {
  ASSERT_TRUE(talvo::dump::WriteMany(folder_ / "older.sqlite3", "Older", 10));
  ASSERT_TRUE(talvo::dump::WriteMany(folder_ / "newer.sqlite3", "Newer", 8000));
  ASSERT_EQ(Import(folder_ / "older.sqlite3"), 0) << Read(folder_ / "import-errors.txt");
  const int port = Start();
  ASSERT_NE(port, 0);
  const std::string older = GetPath("Older 1", "Artist 1");
  const std::string newer = GetPath("Newer 1", "Artist 1");

  auto import = StartImport(folder_ / "newer.sqlite3", folder_ / "import-errors.txt");
  ASSERT_NE(import->WaitFor("importing:"), "");
  // Held where it has the index's write lock and has dropped the older dump's songs.
  import->Signal(SIGSTOP);
  EXPECT_EQ(Get(port, older).status, 200);
  EXPECT_EQ(Get(port, newer).status, 404);
  const Reply page = Get(port, "/kr/lyrics_plugin_show.html?title=Older+1&singer=Artist+1");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("Older line 0 of song 1"), std::string::npos);
  import->Signal(SIGCONT);
  EXPECT_NE(import->WaitFor("imported:"), "");
  EXPECT_EQ(import->WaitBounded(), 0) << Read(folder_ / "import-errors.txt");
  EXPECT_EQ(Get(port, older).status, 404);
  EXPECT_EQ(Get(port, newer).status, 200);
}

// An import ended midway, after writing much of the new dump to the index's log, by a signal it
// handles or by one it cannot: the index holds the older dump, and the next import works.
TEST_F(ImportTest, AnImportEndedMidwayLeavesTheIndexAsItWas) {
  ASSERT_TRUE(talvo::dump::WriteMany(folder_ / "older.sqlite3", "Older", 10));
  ASSERT_TRUE(talvo::dump::WriteMany(folder_ / "newer.sqlite3", "Newer", 16000));
  ASSERT_TRUE(talvo::dump::Gzip(folder_ / "newer.sqlite3", folder_ / "newer.sqlite3.gz"));
  ASSERT_EQ(Import(folder_ / "older.sqlite3"), 0) << Read(folder_ / "import-errors.txt");
  const fs::path log = folder_ / "index.db-wal";
  const fs::path unpacked = folder_ / "index.db.lrclib-unpacked";
  // Well past the import's page cache, so the new songs are in the log when it ends.
  constexpr std::uintmax_t kLogWritten = 24U << 20;

  const struct {
    const char* name;
    int signal;
    int status;           // -1: ended by the signal
    bool leavesUnpacked;  // only a killed import cannot clean up
  } cases[] = {
      {"SIGKILL", SIGKILL, -1, true},
      {"SIGTERM", SIGTERM, 1, false},
      {"SIGINT", SIGINT, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The last check's connection, the only one, removed the log as it closed.
    const std::uintmax_t logBefore = SizeOf(log);
    auto import = StartImport(folder_ / "newer.sqlite3.gz", folder_ / "import-errors.txt");
    ASSERT_NE(import->WaitFor("importing:"), "");
    for (int waited = 0; waited < kHangMillis && SizeOf(log) < logBefore + kLogWritten;
         waited += 10)
      usleep(10'000);
    ASSERT_GE(SizeOf(log), logBefore + kLogWritten);
    import->Signal(c.signal);
    EXPECT_EQ(import->WaitBounded(), c.status);
    EXPECT_EQ(fs::exists(unpacked), c.leavesUnpacked);
    if (c.status == 1) {
      const std::string errors = Read(folder_ / "import-errors.txt");
      EXPECT_NE(errors.find("not imported, the index is as it was: stopped"), std::string::npos)
          << errors;
    }
    EXPECT_EQ(SongCount(), 10);
  }
  EXPECT_EQ(Import(folder_ / "newer.sqlite3.gz"), 0) << Read(folder_ / "import-errors.txt");
  EXPECT_FALSE(fs::exists(unpacked));
  EXPECT_EQ(SongCount(), 16000);
}

}  // namespace
