#include "sources/lrclib_dump.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/pages.h"
#include "dump_writer.h"
#include "platform/files.h"
#include "sources/library.h"
#include "temp_dir.h"
#include "test_song.h"
#include "text/text.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class DumpTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto made = MakeTempDir("talvo-dump");
    ASSERT_TRUE(made.has_value());
    dir_ = *made;
    std::string error;
    store_ = Store::Open((dir_ / "index.db").string(), error);
    ASSERT_NE(store_, nullptr) << error;
  }
  void TearDown() override {
    store_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  bool Import(const fs::path& file, std::string& error, const std::stop_token& stop = {}) {
    return ImportLrclibDump(*store_, file, Unpacked(), report_, error, {}, stop);
  }
  fs::path Unpacked() const { return UnpackPath(dir_ / "index.db"); }

  // The one song of these names, or nothing (a failure when there are several).
  std::optional<SongRow> Find(const std::string& title, const std::string& artist) {
    auto rows = store_->FindExact(MatchKey(title), MatchKey(artist), 2);
    EXPECT_LE(rows.size(), 1U) << title;
    if (rows.empty()) return std::nullopt;
    return rows.front();
  }

  fs::path dir_;
  std::unique_ptr<Store> store_;
  DumpReport report_;
};

// Each kind of track as the dump holds it, and the song it becomes (or none).
TEST_F(DumpTest, EachKindOfTrackBecomesItsSong) {
  using dump::Lyrics;
  using dump::Track;
  const std::string atLimit(kMaxLyricsBytes, 'a');
  const std::string overLimit(kMaxLyricsBytes + 1, 'a');
  struct Case {
    const char* kind;
    Track track;  // without a lastLyricsId, it names the case's first lyrics row
    std::vector<Lyrics> lyrics;
    bool stored;
    std::string plain = {};
    std::string synced = {};
    bool instrumental = false;
    std::int64_t durationMs = 0;
  };
  std::vector<Case> cases = {
      {"plain and synced",
       {.name = "Both", .artist = "Band", .duration = 215.5},
       {{.plain = "One\nTwo", .synced = "[00:01.00] One\n[00:02.00] Two"}},
       true,
       "One\nTwo",
       "[00:01.00] One\n[00:02.00] Two",
       false,
       215'500},
      {"plain only, tidied",
       {.name = "Plain", .artist = "Band", .duration = 180},
       {{.plain = "Only plain  \r\nwords\n\n\n"}},
       true,
       "Only plain\nwords",
       "",
       false,
       180'000},
      {"synced only: the words from the timing",
       {.name = "Synced", .artist = "Band"},
       {{.synced = "[00:01.00] Sung\n[00:03.50] Words"}},
       true,
       "Sung\nWords",
       "[00:01.00] Sung\n[00:03.50] Words"},
      {"synced text without a timestamp is not timing",
       {.name = "Untimed", .artist = "Band"},
       {{.plain = "Words", .synced = "no stamps here"}},
       true,
       "Words",
       ""},
      {"instrumental",
       {.name = "Quiet", .artist = "Band"},
       {{.instrumental = true}},
       true,
       "",
       "",
       true},
      {"no lyrics row",
       {.name = "Bare", .artist = "Band", .lastLyricsId = std::nullopt},
       {},
       false},
      {"a lyrics row without text",
       {.name = "Blank", .artist = "Band"},
       {{.plain = "  \n"}},
       false},
      {"the current revision, not the newest",
       {.name = "Revised", .artist = "Band"},
       {{.plain = "Right words"}, {.plain = "Newer but undone"}},
       true,
       "Right words"},
      {"lyrics that are not there",
       {.name = "Dangling", .artist = "Band", .lastLyricsId = 999'999},
       {},
       false},
      {"CJK names", {.name = "夜空の歌", .artist = "사랑별"}, {{.plain = "별"}}, true, "별"},
      {"accented names",
       {.name = "Café Élan", .artist = "Zoë"},
       {{.plain = "Ça va"}},
       true,
       "Ça va"},
      {"no name", {.name = std::nullopt, .artist = "Band"}, {{.plain = "Nameless"}}, false},
      {"lyrics at the limit",
       {.name = "Longest", .artist = "Band"},
       {{.plain = atLimit}},
       true,
       atLimit},
      {"lyrics over the limit",
       {.name = "Too Long", .artist = "Band"},
       {{.plain = overLimit}},
       false},
      {"the longest duration",
       {.name = "Long", .artist = "Band", .duration = 86'399.999},
       {{.plain = "Words"}},
       true,
       "Words",
       "",
       false,
       86'399'999},
      {"a duration of a day",
       {.name = "Day", .artist = "Band", .duration = 86'400},
       {{.plain = "Words"}},
       true,
       "Words"},
      {"a duration that is no length",
       {.name = "Endless", .artist = "Band", .duration = -1},
       {{.plain = "Words"}},
       true,
       "Words"},
  };
  std::vector<Track> tracks;
  std::vector<Lyrics> lyrics;
  std::int64_t nextId = 100;
  for (Case& c : cases) {
    const std::int64_t first = nextId;
    for (Lyrics& l : c.lyrics) {
      l.id = nextId++;
      lyrics.push_back(l);
    }
    // The case's first lyrics row is its current one, unless the track says otherwise.
    if (!c.lyrics.empty() && !c.track.lastLyricsId) c.track.lastLyricsId = first;
    tracks.push_back(c.track);
  }
  const fs::path file = dir_ / "dump.sqlite3";
  ASSERT_TRUE(dump::Write(file, tracks, lyrics));
  std::string error;
  ASSERT_TRUE(Import(file, error)) << error;

  std::size_t stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const auto row = Find(c.track.name.value_or(""), c.track.artist);
    ASSERT_EQ(row.has_value(), c.stored);
    if (!row) continue;
    ++stored;
    EXPECT_EQ(row->song.lyrics, c.plain);
    EXPECT_EQ(store_->SyncedLyrics(row->id), c.synced);
    EXPECT_EQ(row->song.instrumental, c.instrumental);
    EXPECT_EQ(row->song.durationMs, c.durationMs);
    EXPECT_EQ(row->song.title, *c.track.name);
    EXPECT_EQ(row->song.artist, c.track.artist);
  }
  EXPECT_EQ(report_.tracks, cases.size());
  EXPECT_EQ(report_.songs, stored);
  EXPECT_EQ(report_.withoutLyrics, 3U);  // no row, a blank row, a row not there
  EXPECT_EQ(report_.skipped, 2U);        // no name, over the limit
  EXPECT_EQ(store_->SongCount(), static_cast<std::int64_t>(stored));
}

// Bytes that are not UTF-8 in every text a track gives, and controls HTML has no place for: the
// song is kept, its text repaired as every other source's is, and its page holds neither.
TEST_F(DumpTest, TextThatIsNotUtf8IsRepairedAndTheSongKept) {
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    const char* what;
    std::string bytes;   // in the middle of each text
    std::string stored;  // in its place in the index
    std::string shown;   // and on the song's page
  } cases[] = {
      {"a lead byte alone", "\xC3", bad, bad},
      {"a byte that never begins a character", "\xFF", bad, bad},
      {"an overlong slash", "\xC0\xAF", bad + bad, bad + bad},
      {"an encoded surrogate", "\xED\xA0\x80", bad + bad + bad, bad + bad + bad},
      {"a NUL", std::string(1, '\0'), std::string(1, '\0'), bad},
      {"an escape", "\x1B", "\x1B", bad},
  };
  // The case's text of one kind, by the case's number so that names stay apart.
  const auto text = [](std::string_view kind, std::size_t n, const std::string& middle) {
    return std::string(kind) + " " + std::to_string(n) + " |" + middle + "| end";
  };
  std::vector<dump::Track> tracks;
  std::vector<dump::Lyrics> lyrics;
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    const std::string& bytes = cases[n].bytes;
    const auto id = static_cast<std::int64_t>(n + 1);
    tracks.push_back({.name = text("Title", n, bytes),
                      .artist = text("Artist", n, bytes),
                      .album = text("Album", n, bytes),
                      .lastLyricsId = id});
    lyrics.push_back({.id = id,
                      .plain = "First\n" + text("Line", n, bytes),
                      .synced = "[00:01.00] First\n[00:02.00] " + text("Line", n, bytes)});
  }
  const fs::path file = dir_ / "dump.sqlite3";
  ASSERT_TRUE(dump::Write(file, tracks, lyrics));
  std::string error;
  ASSERT_TRUE(Import(file, error)) << error;
  EXPECT_EQ(report_.songs, std::size(cases));

  for (std::size_t n = 0; n < std::size(cases); ++n) {
    const auto& c = cases[n];
    SCOPED_TRACE(c.what);
    const auto row = Find(text("Title", n, c.stored), text("Artist", n, c.stored));
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->song.title, text("Title", n, c.stored));
    EXPECT_EQ(row->song.artist, text("Artist", n, c.stored));
    EXPECT_EQ(row->song.album, text("Album", n, c.stored));
    EXPECT_EQ(row->song.lyrics, "First\n" + text("Line", n, c.stored));
    EXPECT_EQ(store_->SyncedLyrics(row->id),
              "[00:01.00] First\n[00:02.00] " + text("Line", n, c.stored));

    const std::string page = SongPage(*row);
    EXPECT_TRUE(IsValidUtf8(page));
    EXPECT_EQ(std::count_if(page.begin(), page.end(),
                            [](char byte) {
                              return static_cast<unsigned char>(byte) < 0x20 && byte != '\t' &&
                                     byte != '\n' && byte != '\r';
                            }),
              0);
    for (const char* kind : {"Title", "Artist", "Album", "Line"})
      EXPECT_NE(page.find(text(kind, n, c.shown)), std::string::npos) << kind;
  }
}

// Every way a file can fail to be a dump: one line that says which, and the index untouched.
TEST_F(DumpTest, WhatIsNotADumpLeavesTheIndexAsItWas) {
  store_->PutFile("/lib/mine.lrc", {1, 1}, {MakeSong("Mine", "Me", "my words")});
  const fs::path before = dir_ / "before.sqlite3";
  ASSERT_TRUE(dump::Write(before, {{.name = "Earlier", .artist = "Band", .lastLyricsId = 1}},
                          {{.id = 1, .plain = "from the dump before"}}));
  std::string error;
  ASSERT_TRUE(Import(before, error)) << error;

  const fs::path good = dir_ / "good.sqlite3";
  ASSERT_TRUE(dump::WriteMany(good, "Good", 3000));
  const std::string goodBytes = dump::ReadBytes(good);
  const std::string gzipped = [&] {
    EXPECT_TRUE(dump::Gzip(good, dir_ / "good.sqlite3.gz"));
    return dump::ReadBytes(dir_ / "good.sqlite3.gz");
  }();
  // Garbage over the middle fifth: both tables have pages there, as their rows were written in
  // turn.
  std::string damaged = goodBytes;
  std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(damaged.size() * 2 / 5),
            damaged.begin() + static_cast<std::ptrdiff_t>(damaged.size() * 3 / 5), '\xA5');

  const struct {
    const char* what;
    std::string bytes;  // written as the file; none when the file is made below
    const char* schema;
    const char* says;
  } cases[] = {
      {"an empty file", "", nullptr, "not an SQLite database"},
      {"text", "title,artist\nSong,Band\n", nullptr, "not an SQLite database"},
      {"an SQLite header and nothing else", goodBytes.substr(0, 100), nullptr, "truncated"},
      {"truncated", goodBytes.substr(0, goodBytes.size() / 2 + 7), nullptr, "truncated"},
      {"truncated at a page's end", goodBytes.substr(0, goodBytes.size() / 2 / 4096 * 4096),
       nullptr, "truncated"},
      {"damaged midway", damaged, nullptr, "damaged"},
      {"a truncated gzip", gzipped.substr(0, gzipped.size() / 2), nullptr, "truncated"},
      {"gzipped text", "", nullptr, "not an SQLite database"},
      {"a folder", "", nullptr, "not a regular file"},
#ifndef _WIN32
      {"a pipe nobody writes to", "", nullptr, "not a regular file"},
#endif
      {"no tracks table", "", "CREATE TABLE lyrics(id INTEGER PRIMARY KEY, plain_lyrics TEXT)",
       "has no table tracks"},
      {"tracks without an artist", "",
       "CREATE TABLE tracks(id INTEGER PRIMARY KEY, name TEXT, album_name TEXT, duration FLOAT, "
       "last_lyrics_id INTEGER); CREATE TABLE lyrics(id INTEGER PRIMARY KEY, plain_lyrics TEXT, "
       "synced_lyrics TEXT, instrumental BOOLEAN)",
       "tracks has no column artist_name"},
      {"lyrics not keyed by id", "",
       "CREATE TABLE tracks(id INTEGER PRIMARY KEY, name TEXT, artist_name TEXT, album_name TEXT, "
       "duration FLOAT, last_lyrics_id INTEGER); CREATE TABLE lyrics(id INTEGER, plain_lyrics "
       "TEXT, synced_lyrics TEXT, instrumental BOOLEAN)",
       "lyrics.id is not the table's key"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path file = dir_ / "bad.sqlite3";
    fs::remove_all(file);
    if (c.schema != nullptr) {
      ASSERT_TRUE(dump::Write(file, {}, {}, c.schema));
    } else if (std::string_view(c.what) == "gzipped text") {
      WriteBytes(dir_ / "text", "just some words\n");
      ASSERT_TRUE(dump::Gzip(dir_ / "text", file));
    } else if (std::string_view(c.what) == "a folder") {
      fs::create_directory(file);
#ifndef _WIN32
    } else if (std::string_view(c.what) == "a pipe nobody writes to") {
      ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
#endif
    } else {
      WriteBytes(file, c.bytes);
    }
    EXPECT_FALSE(Import(file, error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(Unpacked()));
    EXPECT_EQ(store_->SongCount(), 2);
    EXPECT_TRUE(Find("Earlier", "Band").has_value());
    EXPECT_FALSE(Find("Good 1", "Artist 1").has_value());
  }
  EXPECT_FALSE(Import(dir_ / "missing.sqlite3", error));
#ifndef _WIN32  // the system's own words, which Windows and Wine put their own ways
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
#endif
}

// A dump and its unpacked copy under long names in letters no one ANSI code page holds. On
// Windows past MAX_PATH and past its 1,040 bytes of UTF-8, the most SQLite's default there takes;
// on Linux within the 512 bytes SQLite takes at all.
TEST_F(DumpTest, ADumpIsReadUnderAnyName) {
#ifdef _WIN32
  constexpr int kLevels = 7;
#else
  constexpr int kLevels = 2;
#endif
  std::string name = "夜空の歌";
  for (int i = 0; i < 7; ++i) name += " 사랑별 夜空の歌";  // 67 characters, 173 bytes
  std::vector<fs::path> folders{dir_};
  for (int i = 0; i < kLevels; ++i) {
    folders.push_back(folders.back() / files::PathFromUtf8(name));
    ASSERT_TRUE(fs::create_directory(files::SystemPath(folders.back())));
  }
  const fs::path& folder = folders.back();
  ASSERT_TRUE(dump::WriteMany(dir_ / "short.sqlite3", "Far", 3));
  ASSERT_TRUE(dump::Gzip(dir_ / "short.sqlite3", dir_ / "short.sqlite3.gz"));
  const fs::path unpacked = folder / files::PathFromUtf8("索引.db.lrclib-unpacked");
  const struct {
    const char* name;
    fs::path bytesOf;
  } dumps[] = {{"ダンプ.sqlite3", dir_ / "short.sqlite3"},
               {"ダンプ.sqlite3.gz", dir_ / "short.sqlite3.gz"}};
  for (const auto& d : dumps) {
    SCOPED_TRACE(d.name);
    // Written by the seam: the C runtime's calls cannot make it.
    const fs::path file = folder / files::PathFromUtf8(d.name);
    const std::string bytes = dump::ReadBytes(d.bytesOf);
    files::Writer out;
    std::string problem;
    ASSERT_TRUE(out.Create(file, problem)) << problem;
    ASSERT_TRUE(out.Write(bytes.data(), bytes.size(), problem)) << problem;
    ASSERT_TRUE(out.Close(problem)) << problem;

    std::string error;
    EXPECT_TRUE(ImportLrclibDump(*store_, file, unpacked, report_, error)) << error;
    EXPECT_EQ(report_.songs, 3U);
    EXPECT_TRUE(Find("Far 3", "Artist 3").has_value());
    EXPECT_FALSE(files::StatusOf(unpacked, problem).has_value()) << "the unpacked copy is left";
    files::RemoveFile(file, problem);
  }
  // Not left to the fixture, whose calls cannot reach so deep on Windows.
  for (auto level = folders.rbegin(); level + 1 != folders.rend(); ++level) {
    std::error_code ignored;
    fs::remove(files::SystemPath(*level), ignored);
  }
}

// A newer dump replaces the older one's songs, gzipped or not; the library's stay, and the
// unpacked copy goes.
TEST_F(DumpTest, ANewerDumpReplacesTheOlder) {
  store_->PutFile("/lib/mine.lrc", {1, 1}, {MakeSong("Mine", "Me", "my words")});
  const fs::path older = dir_ / "older.sqlite3";
  const fs::path newer = dir_ / "newer.sqlite3";
  ASSERT_TRUE(dump::WriteMany(older, "Older", 10));
  ASSERT_TRUE(dump::WriteMany(newer, "Newer", 20));
  ASSERT_TRUE(dump::Gzip(newer, dir_ / "newer.sqlite3.gz"));
  std::string error;
  ASSERT_TRUE(Import(older, error)) << error;
  EXPECT_EQ(store_->SongCount(), 11);
  ASSERT_TRUE(Import(dir_ / "newer.sqlite3.gz", error)) << error;
  EXPECT_FALSE(fs::exists(Unpacked()));
  EXPECT_EQ(report_.songs, 20U);
  EXPECT_EQ(store_->SongCount(), 21);
  EXPECT_FALSE(Find("Older 1", "Artist 1").has_value());
  EXPECT_TRUE(Find("Newer 20", "Artist 20").has_value());
  EXPECT_TRUE(Find("Mine", "Me").has_value());
  // The words of a dump's song are not searched; its names are.
  EXPECT_TRUE(store_->Search("line 3 of song 7", 5).empty());
  EXPECT_EQ(store_->Search("Newer 7", 5).size(), 1U);
}

// A stop request, however late, commits nothing.
TEST_F(DumpTest, AStoppedImportChangesNothing) {
  const fs::path older = dir_ / "older.sqlite3";
  const fs::path newer = dir_ / "newer.sqlite3";
  ASSERT_TRUE(dump::WriteMany(older, "Older", 10));
  ASSERT_TRUE(dump::WriteMany(newer, "Newer", 5000, 2));
  std::string error;
  ASSERT_TRUE(Import(older, error)) << error;
  for (const bool gzipped : {false, true}) {
    SCOPED_TRACE(gzipped ? "gzipped" : "plain");
    fs::path file = newer;
    if (gzipped) {
      file += ".gz";
      ASSERT_TRUE(dump::Gzip(newer, file));
    }
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(Import(file, error, stop.get_token()));
    EXPECT_EQ(error, "stopped");
    EXPECT_FALSE(fs::exists(Unpacked()));
    EXPECT_EQ(store_->SongCount(), 10);
    EXPECT_TRUE(Find("Older 1", "Artist 1").has_value());
  }
}

// A scan removes library files it sees gone; a dump is not one of them, and a scan never
// touches its songs.
TEST_F(DumpTest, AScanKeepsTheDumpsSongs) {
  const fs::path file = dir_ / "dump.sqlite3";
  ASSERT_TRUE(dump::WriteMany(file, "Dumped", 5));
  std::string error;
  ASSERT_TRUE(Import(file, error)) << error;
  fs::create_directories(dir_ / "library");
  const auto codePage = CodePage::Open("windows-1252");
  ASSERT_TRUE(codePage);
  const ScanReport report = ScanLibrary(*store_, {dir_ / "library"}, *codePage);
  EXPECT_EQ(report.removed, 0U);
  EXPECT_EQ(store_->SongCount(), 5);
}

}  // namespace
}  // namespace talvo
