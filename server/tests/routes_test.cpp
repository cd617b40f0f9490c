#include "api/routes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_song.h"

namespace talvo {
namespace {

// Answers every question the same way: with one song, or with one failure; remembers what it
// was asked.
class FakeCatalogue final : public Catalogue {
 public:
  std::optional<Failure> failure;
  std::string asked;
  std::optional<OnMiss> onMiss;

  Outcome<LookupResult> LookUp(const SongQuery& query) override {
    asked = "look up " + query.title;
    if (failure) return *failure;
    return LookupResult{
        .title = query.title, .artist = query.artist, .best = Row(), .candidates = {}};
  }
  Outcome<SongRow> Track(const TrackQuery& query, OnMiss miss) override {
    asked = "track " + query.track;
    onMiss = miss;
    if (failure) return *failure;
    return Row();
  }
  Outcome<std::vector<SongRow>> Search(const std::string& text, int) override {
    asked = "search " + text;
    if (failure) return *failure;
    return std::vector{Row()};
  }
  Outcome<std::vector<SongRow>> SearchTracks(const TrackSearch& search, int) override {
    asked = "search tracks " + search.text;
    if (failure) return *failure;
    return std::vector{Row()};
  }
  Outcome<SongRow> SongById(std::int64_t id, Timing) override {
    asked = "song " + std::to_string(id);
    if (failure) return *failure;
    return Row();
  }
  Outcome<Summary> Summarize(int) override {
    asked = "summary";
    if (failure) return *failure;
    return Summary{.songCount = 1, .recent = {}};
  }

 private:
  static SongRow Row() {
    return {.id = 7,
            .path = "/a.lrc",
            .source = Source::Library,
            .song = MakeSong("Night Song", "Some Band", "The night is long")};
  }
};

enum class Body { Html, Json, Plain };

struct RouteCase {
  const char* target;
  std::optional<Failure> failure;
  int status;
  Body body;
  bool sharedWithOtherSites;  // Access-Control-Allow-Origin: *
  const char* asked;          // what the catalogue was asked; "" for nothing
};

// What a failure of the catalogue becomes on each kind of route, and who else may read it: only
// LRCLIB's API, whose answers tell nothing of what the user played.
const RouteCase kRoutes[] = {
    {"/kr/lyrics_plugin_show.html?title=Night", {}, 200, Body::Html, false, "look up Night"},
    {"/kr/lyrics_plugin_show.html?title=Night", Failure::Unavailable, 503, Body::Plain, false,
     "look up Night"},
    {"/api/lyrics?title=Night", {}, 200, Body::Json, false, "look up Night"},
    {"/api/lyrics?title=Night", Failure::Unavailable, 503, Body::Plain, false, "look up Night"},
    {"/", {}, 200, Body::Html, false, "summary"},
    {"/kr/lyrics_plugin_index.html", Failure::Unavailable, 503, Body::Plain, false, "summary"},
    {"/search?q=night", {}, 200, Body::Html, false, "search night"},
    {"/song?id=7", {}, 200, Body::Html, false, "song 7"},
    {"/song?id=7", Failure::NotFound, 404, Body::Plain, false, "song 7"},
    {"/song?id=seven", {}, 400, Body::Plain, false, ""},
    {"/nowhere", {}, 404, Body::Plain, false, ""},
    {"/api/nowhere", {}, 404, Body::Plain, false, ""},
    {"/api/get?track_name=Night&artist_name=Band", {}, 200, Body::Json, true, "track Night"},
    {"/api/get?track_name=Night&artist_name=Band", Failure::NotFound, 404, Body::Json, true,
     "track Night"},
    {"/api/get?track_name=Night&artist_name=Band", Failure::Unavailable, 503, Body::Json, true,
     "track Night"},
    {"/api/get?track_name=Night", {}, 400, Body::Json, true, ""},
    {"/api/get-cached?track_name=Night&artist_name=Band", {}, 200, Body::Json, true, "track Night"},
    {"/api/get/7", Failure::NotFound, 404, Body::Json, true, "song 7"},
    {"/api/get/seven", {}, 404, Body::Json, true, ""},
    {"/api/search?q=night", Failure::Unavailable, 503, Body::Json, true, "search tracks night"},
    {"/api/publish", {}, 405, Body::Json, true, ""},
    {"/api/get?track_name=%zz", {}, 400, Body::Json, true, ""},
    {"/search?q=%zz", {}, 400, Body::Plain, false, ""},
};

std::optional<std::string> Header(const http::Response& response, const std::string& name) {
  for (const auto& [key, value] : response.headers)
    if (key == name) return value;
  return std::nullopt;
}

TEST(RoutesTest, EachRouteRendersItsAnswerAndItsFailures) {
  const auto codePage = CodePage::Open("windows-1252");
  ASSERT_TRUE(codePage.has_value());
  for (const auto& c : kRoutes) {
    SCOPED_TRACE(c.target);
    FakeCatalogue catalogue;
    catalogue.failure = c.failure;
    const auto response = Respond(catalogue, *codePage, {.method = "GET", .target = c.target});
    EXPECT_EQ(response.status, c.status) << response.body;
    const char* type = c.body == Body::Html   ? "text/html; charset=utf-8"
                       : c.body == Body::Json ? "application/json; charset=utf-8"
                                              : "text/plain; charset=utf-8";
    EXPECT_EQ(response.contentType, type);
    EXPECT_EQ(Header(response, "Access-Control-Allow-Origin").has_value(), c.sharedWithOtherSites);
    EXPECT_EQ(catalogue.asked, c.asked);
  }
}

TEST(RoutesTest, OnlyGetAsksTheUpstreamOnAMiss) {
  const auto codePage = CodePage::Open("windows-1252");
  ASSERT_TRUE(codePage.has_value());
  for (const auto& [path, onMiss] : {std::pair{"/api/get", OnMiss::AskUpstream},
                                     std::pair{"/api/get-cached", OnMiss::LocalOnly}}) {
    FakeCatalogue catalogue;
    Respond(catalogue, *codePage,
            {.method = "GET", .target = std::string(path) + "?track_name=a&artist_name=b"});
    EXPECT_EQ(catalogue.onMiss, onMiss) << path;
  }
}

}  // namespace
}  // namespace talvo
