#include "api/routes.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "api/json.h"
#include "api/lrclib.h"
#include "api/pages.h"
#include "core/limits.h"
#include "http/query.h"

namespace talvo {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kPlain = "text/plain; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";

// Every error a route gives, as a page's plain text and as LRCLIB's JSON.
enum class Problem {
  BadEscape,
  BadId,
  Invalid,  // a query LRCLIB's API refuses; the detail says why
  NoSuchSong,
  NoSuchPath,
  MethodNotAllowed,
  Publishing,
  QueryTooLong,
  Unavailable,
};

struct ProblemText {
  int status;
  std::string_view page;  // the plain-text body
  std::string_view name;  // LRCLIB's error name
  std::string_view message;
};

constexpr ProblemText Describe(Problem problem) {
  switch (problem) {
    case Problem::BadEscape:
      return {400, "Bad request: '%' must be followed by two hexadecimal digits.\n",
              "ValidationError", "'%' must be followed by two hexadecimal digits."};
    case Problem::BadId:
      return {400, "Bad request: id must be a number.\n", "ValidationError",
              "id must be a number."};
    case Problem::Invalid:
      return {400, "Bad request.\n", "ValidationError", "Bad request."};
    case Problem::NoSuchSong:
      return {404, "No such song.\n", "TrackNotFound", "Failed to find specified track"};
    case Problem::NoSuchPath:
      return {404, "Not found.\n", "NotFound", "Not found."};
    case Problem::MethodNotAllowed:
      return {405, "Method not allowed: only GET and HEAD.\n", "MethodNotAllowed",
              "Only GET and HEAD are answered."};
    case Problem::Publishing:
      return {405, "Method not allowed: the library is never written.\n", "MethodNotAllowed",
              "This server does not accept lyrics: it only reads its library."};
    case Problem::QueryTooLong:
      return {414, "Query too long.\n", "ValidationError", "Query too long."};
    case Problem::Unavailable:
      return {503, "The lyrics index cannot be opened.\n", "ServiceUnavailable",
              "The lyrics index cannot be opened."};
  }
  return {500, "Server error.\n", "InternalError", "Server error."};
}

struct Refusal {
  Problem problem;
  std::string detail;  // LRCLIB's message instead of the table's, when set
};

struct Payload {
  std::string body;
  const char* contentType = kHtml;
};

using Reply = std::variant<Payload, Refusal>;

Refusal Refuse(Failure failure) {
  return {failure == Failure::Unavailable ? Problem::Unavailable : Problem::NoSuchSong, {}};
}

// What a handler has to work with.
struct Context {
  Catalogue& catalogue;
  const CodePage& codePage;
  const QueryFields& fields;
  std::string_view rest;  // what follows a prefix route's path and its "/"
};

// A field's size as sent tells whether a tag cut it. The plugin sends its code page; our own
// UTF-8 forms and other clients send UTF-8.
SongQuery Names(const Context& c, bool fromPlugin) {
  const auto title = FieldValue(c.fields, "title");
  const auto singer = FieldValue(c.fields, "singer");
  const auto decode = [&](std::string_view sent) {
    return fromPlugin ? c.codePage.ToUtf8(sent) : Utf8OrCodePage(sent, c.codePage);
  };
  return {.title = decode(title),
          .artist = decode(singer),
          .titleCut = FillsTagField(title),
          .artistCut = FillsTagField(singer)};
}

Reply Show(const Context& c) {
  const auto result = c.catalogue.LookUp(Names(c, true));
  if (!result) return Refuse(result.failure());
  return Payload{ShowPage(*result)};
}

Reply LookupJson(const Context& c) {
  const auto result = c.catalogue.LookUp(Names(c, false));
  if (!result) return Refuse(result.failure());
  return Payload{json::Lookup(*result), kJson};
}

Reply Search(const Context& c) {
  const auto query = Utf8OrCodePage(FieldValue(c.fields, "q"), c.codePage);
  const auto rows = c.catalogue.Search(query, limits::kSearchPageResults);
  if (!rows) return Refuse(rows.failure());
  return Payload{SearchPage(query, *rows)};
}

std::optional<std::int64_t> ParseId(std::string_view text) {
  std::int64_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

Reply Song(const Context& c) {
  const auto id = ParseId(FieldValue(c.fields, "id"));
  if (!id) return Refusal{Problem::BadId, {}};
  const auto song = c.catalogue.SongById(*id, Timing::Without);
  if (!song) return Refuse(song.failure());
  return Payload{SongPage(*song)};
}

Reply Index(const Context& c) {
  const auto summary = c.catalogue.Summarize(limits::kRecentLookupsShown);
  if (!summary) return Refuse(summary.failure());
  return Payload{IndexPage(summary->songCount, summary->recent)};
}

Reply Track(const Context& c, OnMiss onMiss) {
  std::string problem;
  const auto query = lrclib::ParseTrackQuery(c.fields, problem);
  if (!query) return Refusal{Problem::Invalid, problem};
  const auto song = c.catalogue.Track(*query, onMiss);
  if (!song) return Refuse(song.failure());
  return Payload{json::Record(*song), kJson};
}

Reply Get(const Context& c) {
  return Track(c, OnMiss::AskUpstream);
}

Reply GetCached(const Context& c) {
  return Track(c, OnMiss::LocalOnly);
}

// /api/get/{id}: an id that is not a number names no track.
Reply GetById(const Context& c) {
  const auto id = ParseId(c.rest);
  if (!id) return Refusal{Problem::NoSuchSong, {}};
  const auto song = c.catalogue.SongById(*id, Timing::With);
  if (!song) return Refuse(song.failure());
  return Payload{json::Record(*song), kJson};
}

Reply SearchTracks(const Context& c) {
  const auto rows =
      c.catalogue.SearchTracks(lrclib::ParseTrackSearch(c.fields), limits::kTrackSearchResults);
  if (!rows) return Refuse(rows.failure());
  return Payload{json::Records(*rows), kJson};
}

enum class Kind {
  Page,     // HTML, or the plain JSON of /api/lyrics; plain-text errors
  Lrclib,   // LRCLIB's API: JSON errors, readable by other sites' scripts
  Publish,  // LRCLIB's publishing: refused whatever the method, the library is never written
};

struct Route {
  std::string_view path;
  Reply (*handler)(const Context&);
  bool readsQuery;  // a malformed query is refused only where one is read
  Kind kind = Kind::Page;
  bool prefix = false;  // the path is followed by "/" and an argument
};

constexpr std::array kRoutes{
    Route{"/kr/lyrics_plugin_show.html", Show, true},
    Route{"/api/lyrics", LookupJson, true},
    Route{"/search", Search, true},
    Route{"/song", Song, true},
    Route{"/kr/lyrics_plugin_index.html", Index, false},
    Route{"/", Index, false},
    Route{"/api/get", Get, true, Kind::Lrclib},
    Route{"/api/get-cached", GetCached, true, Kind::Lrclib},
    Route{"/api/get", GetById, false, Kind::Lrclib, true},
    Route{"/api/search", SearchTracks, true, Kind::Lrclib},
    Route{"/api/publish", nullptr, false, Kind::Publish},
    Route{"/api/request-challenge", nullptr, false, Kind::Publish},
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

Reply Dispatch(const Route* route, std::string_view rest, Catalogue& catalogue,
               const CodePage& codePage, const http::Request& request) {
  if (route != nullptr && route->kind == Kind::Publish) return Refusal{Problem::Publishing, {}};
  if (request.method != "GET" && request.method != "HEAD")
    return Refusal{Problem::MethodNotAllowed, {}};
  if (request.RawQuery().size() > limits::kQueryLimit) return Refusal{Problem::QueryTooLong, {}};
  if (route == nullptr) return Refusal{Problem::NoSuchPath, {}};
  QueryFields fields;
  if (route->readsQuery && !ParseQuery(request.RawQuery(), fields))
    return Refusal{Problem::BadEscape, {}};
  return route->handler(
      {.catalogue = catalogue, .codePage = codePage, .fields = fields, .rest = rest});
}

http::Response Render(Reply reply, Kind kind) {
  if (auto* payload = std::get_if<Payload>(&reply))
    return {.status = 200,
            .contentType = payload->contentType,
            .headers = {},
            .body = std::move(payload->body)};
  const auto& refusal = std::get<Refusal>(reply);
  const ProblemText text = Describe(refusal.problem);
  http::Response response{.status = text.status, .contentType = kPlain, .headers = {}, .body = {}};
  if (kind == Kind::Page) {
    response.body = text.page;
  } else {
    response.contentType = kJson;
    response.body =
        json::Error(text.status, text.name, refusal.detail.empty() ? text.message : refusal.detail);
  }
  if (refusal.problem == Problem::MethodNotAllowed)
    response.headers.emplace_back("Allow", "GET, HEAD");
  if (refusal.problem == Problem::Publishing) response.headers.emplace_back("Allow", "");
  return response;
}

}  // namespace

http::Response Respond(Catalogue& catalogue, const CodePage& codePage,
                       const http::Request& request) {
  std::string_view rest;
  const Route* route = FindRoute(request.Path(), rest);
  const Kind kind = route != nullptr ? route->kind : Kind::Page;
  auto response = Render(Dispatch(route, rest, catalogue, codePage, request), kind);
  // Browser-based players fetch lyrics from pages of their own origin; nothing else is theirs to
  // read.
  if (kind != Kind::Page) response.headers.emplace_back("Access-Control-Allow-Origin", "*");
  return response;
}

}  // namespace talvo
