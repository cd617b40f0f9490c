#include "api/routes.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

#include "api/lrclib.h"
#include "api/pages.h"
#include "http/query.h"

namespace talvo {
namespace {

constexpr int kSearchResults = 50;
// Pages that wait on the upstream must leave a worker for the rest.
static_assert(RemoteSongs::kMaxWaiting < static_cast<int>(http::kWorkers));
constexpr int kRecentLookups = 20;
// The plugin's longest address is far below this; a longer query is not from it.
constexpr std::size_t kQueryLimit = 8192;

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kPlain = "text/plain; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad request.\n";
    case 404:
      return "Not found.\n";
    case 405:
      return "Method not allowed: only GET and HEAD.\n";
    case 414:
      return "Query too long.\n";
    case 503:
      return "The lyrics index cannot be opened.\n";
    default:
      return status >= 500 ? "Server error.\n" : "Request failed.\n";
  }
}

http::Response Fail(int status, const char* message = nullptr) {
  return {.status = status,
          .contentType = kPlain,
          .headers = {},
          .body = message ? message : StatusText(status)};
}

http::Response Page(std::string body, const char* type = kHtml) {
  return {.status = 200, .contentType = type, .headers = {}, .body = std::move(body)};
}

// What a handler has to work with: the decoded query and the service.
struct Context {
  LyricsService& service;
  const CodePage& codePage;
  const QueryFields& fields;
  std::string_view rest;  // what follows a prefix route's path and its "/"
};

// The plugin sends its code page; our own UTF-8 forms and other clients send UTF-8.
// A field's size as sent tells whether a tag cut it.
http::Response Show(const Context& c) {
  const auto title = FieldValue(c.fields, "title");
  const auto singer = FieldValue(c.fields, "singer");
  const auto result = c.service.LookupSong({.title = c.codePage.ToUtf8(title),
                                            .artist = c.codePage.ToUtf8(singer),
                                            .titleCut = FillsTagField(title),
                                            .artistCut = FillsTagField(singer)});
  if (!result) return Fail(503);
  return Page(ShowPage(*result));
}

http::Response Api(const Context& c) {
  const auto title = FieldValue(c.fields, "title");
  const auto singer = FieldValue(c.fields, "singer");
  const auto result = c.service.LookupSong({.title = Utf8OrCodePage(title, c.codePage),
                                            .artist = Utf8OrCodePage(singer, c.codePage),
                                            .titleCut = FillsTagField(title),
                                            .artistCut = FillsTagField(singer)});
  if (!result) return Fail(503);
  return Page(LookupJson(*result), kJson);
}

http::Response Search(const Context& c) {
  const auto query = Utf8OrCodePage(FieldValue(c.fields, "q"), c.codePage);
  LyricsService::Lease store(c.service);
  if (!store) return Fail(503);
  return Page(SearchPage(query, store->Search(query, kSearchResults)));
}

http::Response Song(const Context& c) {
  const auto text = FieldValue(c.fields, "id");
  std::int64_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size())
    return Fail(400, "Bad request: id must be a number.\n");
  LyricsService::Lease store(c.service);
  if (!store) return Fail(503);
  const auto song = store->SongById(id);
  if (!song) return Fail(404, "No such song.\n");
  return Page(SongPage(*song));
}

http::Response Index(const Context& c) {
  LyricsService::Lease store(c.service);
  if (!store) return Fail(503);
  return Page(IndexPage(store->SongCount(), c.service.LatestLookups(kRecentLookups)));
}

// LRCLIB's answers, its errors included, are JSON.
http::Response ApiFail(int status, std::string_view name, std::string_view message) {
  return {.status = status,
          .contentType = kJson,
          .headers = {},
          .body = lrclib::ErrorJson(status, name, message)};
}

http::Response TrackNotFound() {
  return ApiFail(404, "TrackNotFound", "Failed to find specified track");
}

http::Response Unavailable() {
  return ApiFail(503, "ServiceUnavailable", "The lyrics index cannot be opened.");
}

// /api/get asks the upstream, if any, for what the index lacks; /api/get-cached never does.
http::Response GetTrack(const Context& c, bool askUpstream) {
  std::string problem;
  const auto query = lrclib::ParseTrackQuery(c.fields, problem);
  if (!query) return ApiFail(400, "ValidationError", problem);
  std::optional<SongRow> song;
  {
    LyricsService::Lease store(c.service);
    if (!store) return Unavailable();
    song = lrclib::GetTrack(*store, *query);
  }
  if (!song && askUpstream) {
    if (auto fetched = c.service.AskUpstream({.track = query->track,
                                              .artist = query->artist,
                                              .album = query->album,
                                              .durationMs = query->durationMs}))
      song = SongRow{.id = 0, .path = std::string(Store::kUpstreamSource), .song = *fetched};
  }
  if (!song) return TrackNotFound();
  return Page(lrclib::RecordJson(*song), kJson);
}

http::Response Get(const Context& c) {
  return GetTrack(c, true);
}

http::Response GetCached(const Context& c) {
  return GetTrack(c, false);
}

// /api/get/{id}: an id that is not a number names no track.
http::Response GetById(const Context& c) {
  std::int64_t id = 0;
  const auto [end, error] = std::from_chars(c.rest.data(), c.rest.data() + c.rest.size(), id);
  if (c.rest.empty() || error != std::errc() || end != c.rest.data() + c.rest.size())
    return TrackNotFound();
  LyricsService::Lease store(c.service);
  if (!store) return Unavailable();
  const auto song = lrclib::GetById(*store, id);
  if (!song) return TrackNotFound();
  return Page(lrclib::RecordJson(*song), kJson);
}

http::Response SearchTracks(const Context& c) {
  LyricsService::Lease store(c.service);
  if (!store) return Unavailable();
  return Page(lrclib::RecordsJson(lrclib::SearchTracks(*store, c.fields)), kJson);
}

// Never reached: publishing is refused for every method before a handler is chosen.
http::Response Refused(const Context&) {
  return Fail(405);
}

enum class Kind {
  Page,     // HTML, or the plain JSON of /api/lyrics; plain-text errors
  Lrclib,   // LRCLIB's API: JSON errors
  Publish,  // LRCLIB's publishing: refused whatever the method, the library is never written
};

struct Route {
  std::string_view path;
  http::Response (*handler)(const Context&);
  bool readsQuery;  // a malformed query is refused only where one is read
  Kind kind = Kind::Page;
  bool prefix = false;  // the path is followed by "/" and an argument
};

constexpr std::array kRoutes{
    Route{"/kr/lyrics_plugin_show.html", Show, true},
    Route{"/api/lyrics", Api, true},
    Route{"/search", Search, true},
    Route{"/song", Song, true},
    Route{"/kr/lyrics_plugin_index.html", Index, false},
    Route{"/", Index, false},
    Route{"/api/get", Get, true, Kind::Lrclib},
    Route{"/api/get-cached", GetCached, true, Kind::Lrclib},
    Route{"/api/get", GetById, false, Kind::Lrclib, true},
    Route{"/api/search", SearchTracks, true, Kind::Lrclib},
    Route{"/api/publish", Refused, false, Kind::Publish},
    Route{"/api/request-challenge", Refused, false, Kind::Publish},
};

const Route* FindRoute(std::string_view path, std::string_view& rest) {
  for (const Route& route : kRoutes) {
    if (!route.prefix && route.path == path) return &route;
    if (route.prefix && path.starts_with(route.path) && path.size() > route.path.size() &&
        path[route.path.size()] == '/') {
      rest = path.substr(route.path.size() + 1);
      return &route;
    }
  }
  return nullptr;
}

http::Response Dispatch(LyricsService& service, const http::Request& request) {
  std::string_view rest;
  const auto path = request.Path();
  const auto* route = FindRoute(path, rest);
  const bool lrclib = route != nullptr && route->kind != Kind::Page;
  if (route != nullptr && route->kind == Kind::Publish) {
    auto response = ApiFail(405, "MethodNotAllowed",
                            "This server does not accept lyrics: it only reads its library.");
    response.headers.emplace_back("Allow", "");
    return response;
  }
  if (request.method != "GET" && request.method != "HEAD") {
    auto response =
        lrclib ? ApiFail(405, "MethodNotAllowed", "Only GET and HEAD are answered.") : Fail(405);
    response.headers.emplace_back("Allow", "GET, HEAD");
    return response;
  }
  if (request.RawQuery().size() > kQueryLimit)
    return lrclib ? ApiFail(414, "ValidationError", "Query too long.") : Fail(414);
  if (route == nullptr) return Fail(404);
  QueryFields fields;
  if (route->readsQuery && !ParseQuery(request.RawQuery(), fields)) {
    constexpr std::string_view kBadEscape = "'%' must be followed by two hexadecimal digits.";
    return lrclib ? ApiFail(400, "ValidationError", kBadEscape)
                  : Fail(400, "Bad request: '%' must be followed by two hexadecimal digits.\n");
  }
  return route->handler(
      {.service = service, .codePage = service.codePage(), .fields = fields, .rest = rest});
}

}  // namespace

http::Response Answer(LyricsService& service, const http::Request& request) {
  auto response = Dispatch(service, request);
  // Browser-based players fetch lyrics from pages of their own origin.
  if (request.Path().starts_with("/api/"))
    response.headers.emplace_back("Access-Control-Allow-Origin", "*");
  return response;
}

}  // namespace talvo
