#include "index/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "test_song.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

class StoreTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto made = MakeTempDir("talvo-store");
    ASSERT_TRUE(made.has_value());
    dir_ = *made;
    store_ = OpenStore();
    ASSERT_NE(store_, nullptr);
  }
  void TearDown() override {
    store_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::unique_ptr<Store> OpenStore() {
    std::string error;
    auto store = Store::Open(DbPath(), error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }
  std::string DbPath() const { return (dir_ / "index.db").string(); }

  fs::path dir_;
  std::unique_ptr<Store> store_;
};

std::vector<std::string> Titles(const std::vector<SongRow>& rows) {
  std::vector<std::string> titles;
  titles.reserve(rows.size());
  for (const SongRow& row : rows) titles.push_back(row.song.title);
  return titles;
}

TEST_F(StoreTest, FileRoundTrip) {
  EXPECT_EQ(store_->Stamp("/lib/a.lrc"), std::nullopt);

  const FileStamp stamp{120, 1'700'000'000'123'456'789};
  Song song = MakeSong("Title", "Artist", "line one\nline two", "Album");
  song.synced = "[00:01.00] line one\n[00:02.50] line two";
  song.durationMs = 215'250;
  song.instrumental = true;
  store_->PutFile("/lib/a.lrc", stamp, {song, MakeSong("Other", "Artist", "more")});
  EXPECT_EQ(store_->Stamp("/lib/a.lrc"), stamp);
  EXPECT_EQ(store_->Paths(), std::vector<std::string>{"/lib/a.lrc"});
  EXPECT_EQ(store_->SongCount(), 2);

  const auto found = store_->FindExact("title", "artist", 5);
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].path, "/lib/a.lrc");
  EXPECT_EQ(found[0].song.album, "Album");
  EXPECT_EQ(found[0].song.lyrics, "line one\nline two");
  EXPECT_EQ(found[0].song.synced, "") << "read only when asked for";
  EXPECT_EQ(store_->SyncedLyrics(found[0].id), song.synced);
  EXPECT_EQ(found[0].song.durationMs, 215'250);
  EXPECT_TRUE(found[0].song.instrumental);
  const auto byId = store_->SongById(found[0].id);
  ASSERT_TRUE(byId.has_value());
  EXPECT_EQ(byId->song.title, "Title");

  // Putting a file again replaces its songs, in the table and in the full-text index.
  const FileStamp newer{130, stamp.mtimeNs + 1};
  store_->PutFile("/lib/a.lrc", newer, {MakeSong("Renamed", "Artist", "fresh words")});
  EXPECT_EQ(store_->Stamp("/lib/a.lrc"), newer);
  EXPECT_EQ(store_->SongCount(), 1);
  EXPECT_TRUE(store_->FindExact("title", "artist", 5).empty());
  EXPECT_TRUE(store_->Search("line", 5).empty());
  EXPECT_EQ(Titles(store_->Search("fresh", 5)), std::vector<std::string>{"Renamed"});
  EXPECT_FALSE(store_->SongById(found[0].id).has_value());

  // A file without lyrics is still known, so an unchanged one is not read again.
  store_->PutFile("/lib/a.lrc", stamp, {});
  EXPECT_EQ(store_->Stamp("/lib/a.lrc"), stamp);
  EXPECT_EQ(store_->SongCount(), 0);
  EXPECT_TRUE(store_->Search("fresh", 5).empty());

  store_->PutFile("/lib/b.txt", stamp, {MakeSong("B", "", "bee")});
  store_->RemoveFile("/lib/a.lrc");
  EXPECT_EQ(store_->Stamp("/lib/a.lrc"), std::nullopt);
  EXPECT_EQ(store_->Paths(), std::vector<std::string>{"/lib/b.txt"});
  store_->RemoveFile("/lib/b.txt");
  store_->RemoveFile("/lib/never-there.lrc");
  EXPECT_EQ(store_->SongCount(), 0);
  EXPECT_TRUE(store_->Search("bee", 5).empty());
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, DroppedSongIdsAreNotReused) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("A", "", "x")});
  const std::int64_t first = store_->FindTitle("a", 1).at(0).id;
  store_->RemoveFile("/a.lrc");
  store_->PutFile("/b.lrc", {1, 1}, {MakeSong("B", "", "y")});
  EXPECT_NE(store_->FindTitle("b", 1).at(0).id, first);
  EXPECT_FALSE(store_->SongById(first).has_value());
}

TEST_F(StoreTest, PathsAreBytes) {
  // File names need not be UTF-8; they must come back exactly.
  const std::string odd = std::string("/lib/Caf\xE9 \x01 '\"; DROP TABLE files; --.lrc");
  store_->PutFile(odd, {3, 4}, {MakeSong("T", "A", "words")});
  EXPECT_EQ(store_->Stamp(odd), (FileStamp{3, 4}));
  EXPECT_EQ(store_->Paths(), std::vector<std::string>{odd});
  EXPECT_EQ(store_->FindExact("t", "a", 1).at(0).path, odd);
}

TEST_F(StoreTest, FindExactAndTitleUseTheGivenKeys) {
  store_->PutFile("/1.lrc", {1, 1}, {MakeSong("Yesterday", "The Beatles", "short")});
  store_->PutFile("/2.lrc", {1, 1}, {MakeSong("YESTERDAY", "the beatles", "much longer words")});
  store_->PutFile("/3.lrc", {1, 1}, {MakeSong("Yesterday", "Someone Else", "cover")});
  store_->PutFile("/4.lrc", {1, 1}, {MakeSong("Yesterday Once More", "The Beatles", "no")});

  // The fullest lyrics first.
  const auto exact = store_->FindExact("yesterday", "the beatles", 10);
  ASSERT_EQ(exact.size(), 2U);
  EXPECT_EQ(exact[0].path, "/2.lrc");
  EXPECT_EQ(exact[1].path, "/1.lrc");
  EXPECT_EQ(store_->FindExact("yesterday", "the beatles", 1).size(), 1U);
  EXPECT_TRUE(store_->FindExact("yesterday", "the beatles", 0).empty());
  EXPECT_TRUE(store_->FindTitle("yesterday once", 10).empty());
  // Any artist's, the fullest first; the preferred artist's before all others.
  const auto paths = [](const std::vector<SongRow>& rows) {
    std::vector<std::string> all;
    all.reserve(rows.size());
    for (const SongRow& row : rows) all.push_back(row.path);
    return all;
  };
  using Paths = std::vector<std::string>;
  EXPECT_EQ(paths(store_->FindTitle("yesterday", 10)), (Paths{"/2.lrc", "/1.lrc", "/3.lrc"}));
  EXPECT_EQ(paths(store_->FindTitle("yesterday", 10, "someone else")),
            (Paths{"/3.lrc", "/2.lrc", "/1.lrc"}));
  EXPECT_EQ(paths(store_->FindTitle("yesterday", 1, "the beatles")), Paths{"/2.lrc"});

  // Keys are matched as given: raw names are not keys.
  EXPECT_TRUE(store_->FindExact("Yesterday", "The Beatles", 10).empty());
  EXPECT_TRUE(store_->FindTitle("Yesterday", 10).empty());
  EXPECT_TRUE(store_->FindExact("yesterday", "", 10).empty());

  // An artist's songs in title order.
  const auto artist = store_->FindArtist("the beatles", 10);
  ASSERT_EQ(artist.size(), 3U);
  EXPECT_EQ(artist[2].song.title, "Yesterday Once More");
  EXPECT_EQ(store_->FindArtist("someone else", 10).size(), 1U);
  EXPECT_TRUE(store_->FindArtist("The Beatles", 10).empty());
}

// A dump's song comes after the library's of the same names, however much fuller its lyrics,
// on every path that chooses among versions; the names still decide first.
TEST_F(StoreTest, TheLibraryComesBeforeADumpOfTheSameNames) {
  const std::string dump = "lrclib-dump:/d.sqlite3";
  ASSERT_TRUE(store_->Begin());
  ASSERT_TRUE(store_->ReplaceDump(dump, {1, 1}));
  ASSERT_TRUE(
      store_->PutDumpSong(dump, MakeSong("Yesterday", "The Beatles", "the dump's fuller words")));
  ASSERT_TRUE(store_->PutDumpSong(dump, MakeSong("Yesterday", "Someone Else", "a cover, dumped")));
  ASSERT_TRUE(store_->Commit());
  store_->PutFile("/mine.lrc", {1, 1}, {MakeSong("Yesterday", "The Beatles", "mine")});
  store_->PutFile("/short.lrc", {1, 1}, {MakeSong("Yesterday Once", "The Beatles", "x")});

  using Paths = std::vector<std::string>;
  const auto paths = [](const std::vector<SongRow>& rows) {
    Paths all;
    for (const SongRow& row : rows) all.push_back(row.path);
    return all;
  };
  using Part = Store::KeyPart;
  const struct {
    const char* what;
    std::vector<SongRow> rows;
    Paths expected;
  } cases[] = {
      {"exact names", store_->FindExact("yesterday", "the beatles", 10), {"/mine.lrc", dump}},
      {"title by anyone", store_->FindTitle("yesterday", 10), {"/mine.lrc", dump, dump}},
      {"title, the dump's artist preferred",
       store_->FindTitle("yesterday", 10, "someone else"),
       {dump, "/mine.lrc", dump}},
      {"artist cut",
       store_->FindKeys("yesterday", Part::Whole, "the beat", Part::Start, 10),
       {"/mine.lrc", dump}},
      // The shorter key still first: a dump's exact title before the library's longer one.
      {"title cut",
       store_->FindKeys("yesterday", Part::Start, "the beatles", Part::Whole, 10),
       {"/mine.lrc", dump, "/short.lrc"}},
  };
  for (const auto& c : cases) EXPECT_EQ(paths(c.rows), c.expected) << c.what;
  // Scans list the library's files only: the dump is never taken for a file gone.
  auto files = store_->Paths();
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (Paths{"/mine.lrc", "/short.lrc"}));
}

// An import takes the songs' indexes away while its rows go in: however it ends, the index is
// left with them as the schema makes them, and a later import in the same connection still works.
TEST_F(StoreTest, AnImportLeavesTheSongsIndexesAsTheSchemaMakesThem) {
  const auto indexes = [this] {
    sqlite3* db = nullptr;
    std::string all;
    if (sqlite3_open_v2(DbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_exec(
          db, "SELECT name, sql FROM sqlite_schema WHERE type = 'index' ORDER BY name",
          [](void* out, int columns, char** values, char**) {
            for (int i = 0; i < columns; ++i)
              *static_cast<std::string*>(out) += std::string(values[i] ? values[i] : "") + "\n";
            return 0;
          },
          &all, nullptr);
    }
    sqlite3_close(db);
    return all;
  };
  const std::string schema = indexes();
  ASSERT_NE(schema.find("songs_by_keys"), std::string::npos);
  ASSERT_NE(schema.find("songs_by_artist"), std::string::npos);
  const std::string dump = "lrclib-dump:/d.sqlite3";
  const struct {
    const char* end;
    bool index;
    bool commit;
    std::int64_t songs;
  } cases[] = {
      {"rolled back", true, false, 0},
      {"indexed and committed", true, true, 2},
      {"committed without IndexDump", false, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.end);
    ASSERT_TRUE(store_->Begin());
    ASSERT_TRUE(store_->ReplaceDump(dump, {1, 1}));
    ASSERT_TRUE(store_->PutDumpSong(dump, MakeSong("Gone Tomorrow", "Dumped", "words")));
    if (c.songs != 1) {
      ASSERT_TRUE(store_->PutDumpSong(dump, MakeSong("Here Today", "Dumped", "words")));
    }
    if (c.index) {
      ASSERT_TRUE(store_->IndexDump());
    }
    if (c.commit) {
      ASSERT_TRUE(store_->Commit());
    } else {
      store_->Rollback();
    }
    EXPECT_EQ(indexes(), schema);
    EXPECT_EQ(store_->SongCount(), c.songs);
    EXPECT_EQ(store_->FindTitle("gone tomorrow", 5).size(), c.songs > 0 ? 1U : 0U);
    EXPECT_EQ(store_->Search("here today", 5, Store::Words::All, Store::Within::Names).size(),
              c.songs == 2 ? 1U : 0U);
  }
  EXPECT_EQ(store_->LastError(), "");
}

// An upstream's songs are a dump's that neither a scan nor an import removes, found by their
// names at once, each song's names kept once.
TEST_F(StoreTest, AnUpstreamsSongsOutliveImportsAndScans) {
  const std::string upstream(Store::kUpstreamSource);
  auto fetched = MakeSong("Hallelujah", "Jeff Buckley", "first words");
  fetched.synced = "[00:01.00] first words";
  ASSERT_TRUE(store_->Begin());
  ASSERT_TRUE(store_->PutUpstreamSong(fetched));
  fetched.lyrics = "fuller words";
  ASSERT_TRUE(store_->PutUpstreamSong(fetched));
  ASSERT_TRUE(store_->Commit());
  ASSERT_TRUE(store_->Begin());
  ASSERT_TRUE(store_->ReplaceDump("lrclib-dump:/d.sqlite3", {1, 1}));
  ASSERT_TRUE(store_->Commit());
  store_->PutFile("/mine.lrc", {1, 1}, {MakeSong("Hallelujah", "Jeff Buckley", "mine")});

  const auto rows = store_->FindExact("hallelujah", "jeff buckley", 10);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0].path, "/mine.lrc");
  EXPECT_EQ(rows[1].path, upstream);
  EXPECT_EQ(rows[1].song.lyrics, "fuller words");
  EXPECT_EQ(store_->SyncedLyrics(rows[1].id), "[00:01.00] first words");
  EXPECT_EQ(Titles(store_->Search("buckley", 10, Store::Words::All, Store::Within::Names)),
            (std::vector<std::string>{"Hallelujah", "Hallelujah"}));
  EXPECT_EQ(store_->Paths(), std::vector<std::string>{"/mine.lrc"});
}

TEST_F(StoreTest, FindKeysMatchesTheStartOfAKey) {
  store_->PutFile(
      "/a.lrc", {1, 1},
      {MakeSong("abc", "x", "short"), MakeSong("abcd", "x", "w"), MakeSong("abc def", "x", "w"),
       MakeSong("abd", "x", "w"), MakeSong("ab", "x", "w"), MakeSong("b", "x", "w"),
       MakeSong("abc", "xy", "much longer words"), MakeSong("abc", "y", "w"),
       MakeSong("abcd", "xyz", "w"),
       // п is D0 BF, its key's last byte the largest a continuation byte holds; р is
       // D1 80, the next character
       MakeSong("пе", "x", "w"), MakeSong("р", "x", "w")});
  using Part = Store::KeyPart;
  struct Case {
    std::string title;
    Part titlePart;
    std::string artist;
    Part artistPart;
    int limit;
    std::vector<std::string> found;  // "title/artist", in order
  };
  const Case cases[] = {
      // the shortest completion first; a key is the start of itself; "ab" and "abd" are outside
      {"abc", Part::Start, "x", Part::Whole, 10, {"abc/x", "abcd/x", "abc def/x"}},
      {"abc", Part::Start, "x", Part::Whole, 2, {"abc/x", "abcd/x"}},
      {"abc", Part::Start, "x", Part::Whole, 0, {}},
      {"abc ", Part::Start, "x", Part::Whole, 10, {"abc def/x"}},
      {"п", Part::Start, "x", Part::Whole, 10, {"пе/x"}},
      // no UTF-8 key holds 0xFF: nothing, and not "b" either
      {"a\xFF", Part::Start, "x", Part::Whole, 10, {}},
      {"\xFF", Part::Start, "x", Part::Whole, 10, {}},
      {"\xFF", Part::Start, "", Part::Start, 10, {}},
      // an empty title start would be every song
      {"", Part::Start, "x", Part::Whole, 10, {}},
      {"", Part::Start, "", Part::Start, 10, {}},
      // the artist's start; the shortest artist first, whatever the lyrics
      {"abc", Part::Whole, "x", Part::Start, 10, {"abc/x", "abc/xy"}},
      {"abc", Part::Whole, "", Part::Start, 10, {"abc/x", "abc/y", "abc/xy"}},
      {"abc", Part::Whole, "x\xFF", Part::Start, 10, {}},
      // both cut
      {"abc", Part::Start, "xy", Part::Start, 10, {"abc/xy", "abcd/xyz"}},
      {"abc",
       Part::Start,
       "",
       Part::Start,
       10,
       {"abc/x", "abc/y", "abc/xy", "abcd/x", "abcd/xyz", "abc def/x"}},
      // both whole: FindExact
      {"abc", Part::Whole, "xy", Part::Whole, 10, {"abc/xy"}},
      {"ab", Part::Whole, "x", Part::Whole, 10, {"ab/x"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> found;
    for (const SongRow& row :
         store_->FindKeys(c.title, c.titlePart, c.artist, c.artistPart, c.limit))
      found.push_back(row.song.title + "/" + row.song.artist);
    EXPECT_EQ(found, c.found) << c.title << " by " << c.artist;
  }
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, FindKeysLooksAtNoMoreOfAStartThanItsScan) {
  using Part = Store::KeyPart;
  // Other artists' titles ahead of the one wanted, in key order.
  const auto putOthers = [&](int count) {
    store_->Begin();
    for (int i = 0; i < count; ++i) {
      const std::string n = std::to_string(1000 + i);
      store_->PutFile("/" + n, {1, 1}, {MakeSong("song " + n, "y", "w")});
    }
    store_->Commit();
  };
  store_->PutFile("/wanted", {1, 1}, {MakeSong("song 9999", "x", "w")});
  putOthers(limits::kKeyStartScan - 1);
  EXPECT_EQ(store_->FindKeys("song", Part::Start, "x", Part::Start, 10).size(), 1U);
  putOthers(limits::kKeyStartScan);
  EXPECT_TRUE(store_->FindKeys("song", Part::Start, "x", Part::Start, 10).empty());
  EXPECT_EQ(store_->FindKeys("song", Part::Start, "", Part::Start, 1000).size(),
            static_cast<std::size_t>(limits::kKeyStartScan));
  // A whole artist's own titles are a range of their own.
  EXPECT_EQ(store_->FindKeys("song", Part::Start, "x", Part::Whole, 10).size(), 1U);
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, EmptyArtistIsAKeyLikeAnyOther) {
  store_->PutFile("/t.txt", {1, 1}, {MakeSong("Only A Title", "", "words")});
  store_->PutFile("/u.txt", {1, 1}, {MakeSong("Another Title", "", "words")});
  EXPECT_EQ(store_->FindExact("only a title", "", 5).size(), 1U);
  // Songs without an artist are not one artist's songs.
  EXPECT_TRUE(store_->FindArtist("", 5).empty());
}

TEST_F(StoreTest, SearchRanksNamesAboveLyrics) {
  store_->PutFile("/lyric.lrc", {1, 1},
                  {MakeSong("Down By The Water", "Someone",
                            "we walked along the river\nthe river was cold\nriver river river")});
  store_->PutFile("/title.lrc", {1, 1}, {MakeSong("River", "Another", "nothing to see here")});
  store_->PutFile("/artist.lrc", {1, 1}, {MakeSong("Song", "River Band", "la la la")});
  store_->PutFile("/none.lrc", {1, 1}, {MakeSong("Sea", "Ocean", "waves")});

  const auto rows = store_->Search("river", 10);
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[0].song.title, "River");
  EXPECT_EQ(rows[2].song.title, "Down By The Water");
  EXPECT_EQ(store_->Search("river", 1).size(), 1U);
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, SearchForAnyWord) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("Cold River", "X", "you and me")});
  store_->PutFile("/b.lrc", {1, 1}, {MakeSong("Warm Sea", "Y", "cold water")});
  store_->PutFile("/c.lrc", {1, 1}, {MakeSong("Mountain", "Z", "high")});

  struct Case {
    std::string text;
    Store::Words words;
    std::vector<std::string> titles;  // in rank order
  };
  const Case cases[] = {
      {"cold river", Store::Words::Any, {"Cold River", "Warm Sea"}},
      {"river sea", Store::Words::All, {}},
      {"cold water", Store::Words::All, {"Warm Sea"}},
      {"OR NOT", Store::Words::Any, {}},
      // names from a tag are whole words: no prefix
      {"cold water", Store::Words::AllWhole, {"Warm Sea"}},
      {"cold wat", Store::Words::AllWhole, {}},
      {"cold wat", Store::Words::All, {"Warm Sea"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Titles(store_->Search(c.text, 10, c.words)), c.titles) << "search: " << c.text;
  }
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, SearchWithinNamesSkipsTheLyrics) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("Cold River", "X", "you and me")});
  store_->PutFile("/b.lrc", {1, 1}, {MakeSong("Warm Sea", "Cold Band", "by the river")});
  store_->PutFile("/c.lrc", {1, 1}, {MakeSong("Mountain", "Z", "cold river")});

  struct Case {
    std::string text;
    Store::Words words;
    std::vector<std::string> titles;  // in any order
  };
  const Case cases[] = {
      {"cold river", Store::Words::Any, {"Cold River", "Warm Sea"}},
      {"cold river", Store::Words::All, {"Cold River"}},
      {"river", Store::Words::All, {"Cold River"}},
      {"band", Store::Words::Any, {"Warm Sea"}},
      {"you me", Store::Words::Any, {}},
      // a column filter of the user's own is words, never a way into the lyrics
      {"lyrics: river", Store::Words::Any, {"Cold River"}},
      {"{lyrics}: river", Store::Words::All, {}},
  };
  for (const Case& c : cases) {
    auto titles = Titles(store_->Search(c.text, 10, c.words, Store::Within::Names));
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, c.titles) << "search: " << c.text;
  }
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, SearchMatchesAllWordsTheLastAsAPrefix) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("Cold River", "X", "you and me")});
  store_->PutFile("/b.lrc", {1, 1}, {MakeSong("Warm River", "Y", "or not")});
  store_->PutFile("/c.lrc", {1, 1}, {MakeSong("Café Noir", "Z", "words")});

  struct Case {
    std::string text;
    std::vector<std::string> titles;  // in any order
  };
  const Case cases[] = {
      // words
      {"river", {"Cold River", "Warm River"}},
      {"cold river", {"Cold River"}},
      {"river cold", {"Cold River"}},
      {"  COLD   river  ", {"Cold River"}},
      {"ＣＯＬＤ", {"Cold River"}},
      // prefix: only the last word
      {"riv", {"Cold River", "Warm River"}},
      {"col river", {}},
      {"cold riv", {"Cold River"}},
      // accents and case fold the same way on both sides
      {"cafe", {"Café Noir"}},
      {"CAFÉ", {"Café Noir"}},
      // nothing to look for
      {"", {}},
      {"   ", {}},
      {"!?", {}},
      {"thunder", {}},
  };
  for (const Case& c : cases) {
    auto titles = Titles(store_->Search(c.text, 10));
    std::sort(titles.begin(), titles.end());
    EXPECT_EQ(titles, c.titles) << "search: " << c.text;
  }
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, SearchNeverTakesQuerySyntaxFromTheUser) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("Cold River", "X", "you and me by the river")});
  store_->PutFile("/b.lrc", {1, 1}, {MakeSong("Warm River", "Y", "near the sea")});

  struct Case {
    std::string text;
    std::size_t found;
  };
  // Read as FTS5 syntax, most of these would fail to parse or mean something else.
  const Case cases[] = {
      {"AND", 1},  // the word "and", found in a's lyrics
      {"river AND", 1},
      {"river OR sea", 0},  // "or" as a word: no song has it
      {"river NOT sea", 0},
      {"NEAR(river", 1},  // "near river": b has both
      {"NEAR(river sea, 2)", 0},
      {"title_key:river", 0},  // "title key river"
      {"lyrics:sea", 0},
      {"{title_key}:cold", 0},
      {"\"", 0},
      {"\"river", 2},
      {"river\"", 2},
      {"ri\"ver", 0},
      {"*", 0},
      {"river*", 2},
      {"*river", 2},
      {"^river", 2},
      {"-river", 2},
      {"+river", 2},
      {"(((", 0},
      {"river)", 2},
      {"rank MATCH 'x'", 0},
      {"'; DROP TABLE songs; --", 0},
      {std::string("river\0sea", 9), 1},  // two words: b has both
      {"\xFF\xFE river", 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(store_->Search(c.text, 10).size(), c.found) << "search: " << c.text;
    EXPECT_EQ(store_->LastError(), "") << "search: " << c.text;
  }
  EXPECT_EQ(store_->SongCount(), 2);
}

TEST_F(StoreTest, SearchBoundsAVeryLongQuery) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("River", "X", "words")});
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "river ";
  EXPECT_EQ(store_->Search(text, 10).size(), 1U);
  EXPECT_EQ(store_->Search(std::string(100000, 'r'), 10).size(), 0U);
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, RecentLookupsNewestFirstAndTrimmed) {
  EXPECT_TRUE(store_->RecentLookups(10).empty());
  store_->RecordLookup({100, "First", "Someone", std::nullopt});
  store_->RecordLookup({50, "Second", "", 7});  // an earlier clock still counts as newer
  auto recent = store_->RecentLookups(10);
  ASSERT_EQ(recent.size(), 2U);
  EXPECT_EQ(recent[0].title, "Second");
  EXPECT_EQ(recent[0].at, 50);
  EXPECT_EQ(recent[0].songId, 7);
  EXPECT_EQ(recent[1].title, "First");
  EXPECT_EQ(recent[1].artist, "Someone");
  EXPECT_EQ(recent[1].songId, std::nullopt);
  EXPECT_EQ(store_->RecentLookups(1).size(), 1U);
  EXPECT_TRUE(store_->RecentLookups(0).empty());

  // Looked up again: moved to the top, not listed twice.
  store_->RecordLookup({200, "First", "Someone", 3});
  recent = store_->RecentLookups(10);
  ASSERT_EQ(recent.size(), 2U);
  EXPECT_EQ(recent[0].title, "First");
  EXPECT_EQ(recent[0].songId, 3);
  EXPECT_EQ(recent[1].title, "Second");

  const int total = limits::kKeptLookups + 25;
  for (int i = 0; i < total; ++i) {
    store_->RecordLookup({i, "t" + std::to_string(i), "", std::nullopt});
  }
  recent = store_->RecentLookups(limits::kKeptLookups * 2);
  ASSERT_EQ(recent.size(), static_cast<std::size_t>(limits::kKeptLookups));
  EXPECT_EQ(recent.front().at, total - 1);
  EXPECT_EQ(recent.back().at, total - limits::kKeptLookups);
  EXPECT_EQ(store_->LastError(), "");
}

TEST_F(StoreTest, ABatchIsSeenByOtherConnectionsWhenCommitted) {
  auto reader = OpenStore();
  ASSERT_NE(reader, nullptr);
  store_->Begin();
  store_->Begin();  // already in one: nothing
  for (int i = 0; i < 100; ++i) {
    store_->PutFile("/f" + std::to_string(i), {i, i}, {MakeSong("T", "A", "w")});
  }
  EXPECT_EQ(reader->SongCount(), 0);
  store_->Commit();
  store_->Commit();  // none open: nothing
  EXPECT_EQ(reader->SongCount(), 100);
  EXPECT_EQ(store_->LastError(), "");
  EXPECT_EQ(reader->LastError(), "");
}

TEST_F(StoreTest, AReaderNeitherWaitsForTheWriterNorWrites) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("T", "A", "w")});
  // The scanner is in the middle of a batch when a page opens its connection and reads.
  store_->Begin();
  store_->PutFile("/b.lrc", {1, 1}, {MakeSong("T", "B", "w")});
  std::string error;
  const auto reader = Store::OpenForReading(DbPath(), error);
  ASSERT_NE(reader, nullptr) << error;
  EXPECT_EQ(reader->SongCount(), 1);
  EXPECT_EQ(reader->FindTitle("t", 5).size(), 1U);
  EXPECT_EQ(reader->LastError(), "");
  store_->Commit();
  EXPECT_EQ(reader->SongCount(), 2);

  EXPECT_FALSE(reader->PutFile("/c.lrc", {1, 1}, {MakeSong("T", "C", "w")}));
  EXPECT_NE(reader->LastError().find("readonly"), std::string::npos) << reader->LastError();
  EXPECT_FALSE(reader->RecordLookup({1, "x", "", std::nullopt}));
  EXPECT_FALSE(reader->RemoveFile("/a.lrc"));
  EXPECT_EQ(store_->SongCount(), 2);
  EXPECT_TRUE(store_->RecentLookups(5).empty());
}

TEST_F(StoreTest, AReaderOnlyOpensAnIndexTheWriterMade) {
  const std::string empty = (dir_ / "empty.db").string();
  std::FILE* file = std::fopen(empty.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  for (const std::string& path : {(dir_ / "missing.db").string(), empty, std::string()}) {
    std::string error;
    EXPECT_EQ(Store::OpenForReading(path, error), nullptr) << path;
    EXPECT_NE(error, "") << path;
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing.db"));
  EXPECT_EQ(fs::file_size(empty), 0U);  // no schema made
}

TEST_F(StoreTest, ReopeningKeepsTheIndex) {
  store_->PutFile("/a.lrc", {1, 2}, {MakeSong("T", "A", "w")});
  store_.reset();
  store_ = OpenStore();
  ASSERT_NE(store_, nullptr);
  EXPECT_EQ(store_->Stamp("/a.lrc"), (FileStamp{1, 2}));
  EXPECT_EQ(store_->Search("w", 5).size(), 1U);
}

TEST_F(StoreTest, OpenRefusesWhatItCannotUse) {
  std::string error;
  EXPECT_EQ(Store::Open((dir_ / "missing" / "index.db").string(), error), nullptr);
  EXPECT_NE(error, "");
  error.clear();
  EXPECT_EQ(Store::Open("", error), nullptr);
  EXPECT_NE(error, "");

  // Not a database at all.
  const std::string junk = (dir_ / "junk.db").string();
  {
    std::FILE* file = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string bytes(4096, 'x');
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  error.clear();
  EXPECT_EQ(Store::Open(junk, error), nullptr);
  EXPECT_NE(error, "");

  // An index from another version of the schema.
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  error.clear();
  EXPECT_EQ(Store::Open(DbPath(), error), nullptr);
  EXPECT_NE(error.find("99"), std::string::npos) << error;
}

TEST_F(StoreTest, AnOlderIndexIsRebuiltEmpty) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("River", "A", "w")});
  store_.reset();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 1; CREATE TABLE \"odd \"\"name\"(x)", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  std::string error;
  store_ = Store::Open(DbPath(), error);
  ASSERT_NE(store_, nullptr) << error;
  EXPECT_EQ(store_->SongCount(), 0);
  EXPECT_EQ(store_->Stamp("/a.lrc"), std::nullopt);  // read again by the next scan
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("River", "A", "w")});
  EXPECT_EQ(store_->Search("river", 5).size(), 1U);
}

TEST_F(StoreTest, FailuresDegradeAndAreKept) {
  store_->PutFile("/a.lrc", {1, 1}, {MakeSong("River", "A", "w")});
  // Someone breaks the database under the running server.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE songs_fts; DROP TABLE lookups", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  EXPECT_TRUE(store_->Search("river", 5).empty());
  EXPECT_NE(store_->LastError(), "");
  store_->RecordLookup({1, "x", "", std::nullopt});
  EXPECT_TRUE(store_->RecentLookups(5).empty());
  EXPECT_NE(store_->LastError().find("lookups"), std::string::npos) << store_->LastError();
  // What does not need the dropped tables still works.
  EXPECT_EQ(store_->FindTitle("river", 5).size(), 1U);
}

}  // namespace
}  // namespace talvo
