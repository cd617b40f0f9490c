#include "service/tracks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "temp_dir.h"
#include "test_song.h"

namespace talvo {
namespace {

// One rule for every route: a library song beats a dump's of the same names, whatever the dump's
// version has that the library's lacks.
struct LibraryFirstCase {
  const char* name;
  bool dumpSynced;
  const char* dumpAlbum;
  const char* askedAlbum;
};

constexpr LibraryFirstCase kLibraryFirst[] = {
    {"the dump's version has timing", true, "", ""},
    {"the dump's version names the asked album", false, "Late Hours", "Late Hours"},
    {"both", true, "Late Hours", "Late Hours"},
};

TEST(FindTrackTest, TheLibraryComesFirst) {
  const auto dir = MakeTempDir("talvo-tracks");
  ASSERT_TRUE(dir.has_value());
  for (const auto& c : kLibraryFirst) {
    SCOPED_TRACE(c.name);
    std::string error;
    const auto path = *dir / (std::string("index-") + std::to_string(&c - kLibraryFirst) + ".db");
    auto store = Store::Open(path.string(), error);
    ASSERT_NE(store, nullptr) << error;
    store->PutFile("/Some Band - Night Song.txt", {1, 1},
                   {MakeSong("Night Song", "Some Band", "mine")});
    Song dumped = MakeSong("Night Song", "Some Band", "theirs", c.dumpAlbum);
    if (c.dumpSynced) dumped.synced = "[00:01.00] theirs";
    ASSERT_TRUE(store->Begin());
    ASSERT_TRUE(store->ReplaceDump("lrclib-dump:test", {1, 1}));
    ASSERT_TRUE(store->PutDumpSong("lrclib-dump:test", dumped));
    ASSERT_TRUE(store->Commit());

    const auto found = FindTrack(*store, {.track = "Night Song",
                                          .artist = "Some Band",
                                          .album = c.askedAlbum,
                                          .durationMs = std::nullopt});
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->song.lyrics, "mine");
    EXPECT_EQ(found->source, Source::Library);
  }
  std::error_code ignored;
  std::filesystem::remove_all(*dir, ignored);
}

}  // namespace
}  // namespace talvo
