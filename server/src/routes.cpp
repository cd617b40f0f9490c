#include "routes.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>

#include "pages.h"
#include "query.h"

namespace talvo {
namespace {

constexpr int kSearchResults = 50;
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

struct Route {
  std::string_view path;
  http::Response (*handler)(const Context&);
  bool readsQuery;  // a malformed query is refused only where one is read
};

constexpr std::array kRoutes{
    Route{"/kr/lyrics_plugin_show.html", Show, true},
    Route{"/api/lyrics", Api, true},
    Route{"/search", Search, true},
    Route{"/song", Song, true},
    Route{"/kr/lyrics_plugin_index.html", Index, false},
    Route{"/", Index, false},
};

}  // namespace

http::Response Answer(LyricsService& service, const http::Request& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    auto response = Fail(405);
    response.headers.emplace_back("Allow", "GET, HEAD");
    return response;
  }
  if (request.RawQuery().size() > kQueryLimit) return Fail(414);
  const auto path = request.Path();
  const auto* route =
      std::find_if(kRoutes.begin(), kRoutes.end(), [&](const Route& r) { return r.path == path; });
  if (route == kRoutes.end()) return Fail(404);
  QueryFields fields;
  if (route->readsQuery && !ParseQuery(request.RawQuery(), fields))
    return Fail(400, "Bad request: '%' must be followed by two hexadecimal digits.\n");
  return route->handler({.service = service, .codePage = service.codePage(), .fields = fields});
}

}  // namespace talvo
