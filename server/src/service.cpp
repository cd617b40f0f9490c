#include "service.h"

#include <httplib.h>

#include <charconv>
#include <utility>

#include "lookup.h"
#include "lyrics.h"
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

std::string_view RawQuery(const httplib::Request& request) {
  const std::string_view target = request.target;
  const auto mark = target.find('?');
  return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

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

void Fail(httplib::Response& response, int status, const char* message = nullptr) {
  response.status = status;
  response.set_content(message ? message : StatusText(status), kPlain);
}

}  // namespace

// A connection borrowed from the pool for one request, given back when it ends.
class LyricsService::Lease {
 public:
  explicit Lease(LyricsService& service) : service_(service), store_(service.Borrow()) {}
  ~Lease() {
    if (store_) service_.Return(std::move(store_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Store* operator->() const { return store_.get(); }
  Store& operator*() const { return *store_; }
  explicit operator bool() const { return store_ != nullptr; }

 private:
  LyricsService& service_;
  std::unique_ptr<Store> store_;
};

LyricsService::LyricsService(std::string databasePath, CodePage codePage)
    : databasePath_(std::move(databasePath)),
      codePage_(std::move(codePage)),
      recent_(databasePath_) {}

LyricsService::~LyricsService() = default;

std::unique_ptr<Store> LyricsService::Borrow() {
  {
    const std::lock_guard lock(poolMutex_);
    if (!pool_.empty()) {
      auto store = std::move(pool_.back());
      pool_.pop_back();
      return store;
    }
  }
  std::string error;
  return Store::OpenForReading(databasePath_, error);
}

void LyricsService::Return(std::unique_ptr<Store> store) {
  const std::lock_guard lock(poolMutex_);
  pool_.push_back(std::move(store));
}

LookupResult LyricsService::LookupSong(std::string_view title, std::string_view singer) {
  LookupResult result;
  if (singer.empty()) {
    // The plugin had no tag and sent the player's caption.
    const auto caption = DropPlaylistNumber(title);
    if (!SplitArtistTitle(caption, result.artist, result.title)) result.title = caption;
  } else {
    result.title = title;
    result.artist = singer;
  }
  Lease store(*this);
  if (!store) return result;
  FindSong(*store, result);

  recent_.Record({.at = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count(),
                  .title = result.title,
                  .artist = result.artist,
                  .songId = result.best ? std::optional(result.best->id) : std::nullopt});
  return result;
}

void LyricsService::Install(httplib::Server& server) {
  server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
    if (request.method != "GET" && request.method != "HEAD") {
      response.set_header("Allow", "GET, HEAD");
      Fail(response, 405);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (RawQuery(request).size() > kQueryLimit) {
      Fail(response, 414);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) Fail(response, response.status);
        return httplib::Server::HandlerResponse::Handled;
      }));

  // Decodes the query or answers 400; every handler that reads the query goes through it.
  const auto withQuery = [](auto handler) {
    return [handler](const httplib::Request& request, httplib::Response& response) {
      QueryFields fields;
      if (!ParseQuery(RawQuery(request), fields)) {
        Fail(response, 400, "Bad request: '%' must be followed by two hexadecimal digits.\n");
        return;
      }
      handler(fields, response);
    };
  };

  // The plugin sends its code page; our own UTF-8 forms and other clients send UTF-8.
  server.Get(R"(/kr/lyrics_plugin_show\.html)",
             withQuery([this](const QueryFields& fields, httplib::Response& response) {
               const auto result = LookupSong(codePage_.ToUtf8(FieldValue(fields, "title")),
                                              codePage_.ToUtf8(FieldValue(fields, "singer")));
               response.set_content(ShowPage(result), kHtml);
             }));

  server.Get(
      "/api/lyrics", withQuery([this](const QueryFields& fields, httplib::Response& response) {
        const auto result = LookupSong(Utf8OrCodePage(FieldValue(fields, "title"), codePage_),
                                       Utf8OrCodePage(FieldValue(fields, "singer"), codePage_));
        response.set_content(LookupJson(result), "application/json; charset=utf-8");
      }));

  server.Get("/search", withQuery([this](const QueryFields& fields, httplib::Response& response) {
               const auto query = Utf8OrCodePage(FieldValue(fields, "q"), codePage_);
               Lease store(*this);
               if (!store) return Fail(response, 503);
               response.set_content(SearchPage(query, store->Search(query, kSearchResults)), kHtml);
             }));

  server.Get("/song", withQuery([this](const QueryFields& fields, httplib::Response& response) {
               const auto text = FieldValue(fields, "id");
               std::int64_t id = 0;
               const auto [end, error] =
                   std::from_chars(text.data(), text.data() + text.size(), id);
               if (error != std::errc() || end != text.data() + text.size())
                 return Fail(response, 400, "Bad request: id must be a number.\n");
               Lease store(*this);
               if (!store) return Fail(response, 503);
               const auto song = store->SongById(id);
               if (!song) return Fail(response, 404, "No such song.\n");
               response.set_content(SongPage(*song), kHtml);
             }));

  const auto index = [this](const httplib::Request&, httplib::Response& response) {
    Lease store(*this);
    if (!store) return Fail(response, 503);
    response.set_content(IndexPage(store->SongCount(), recent_.Latest(kRecentLookups)), kHtml);
  };
  server.Get(R"(/kr/lyrics_plugin_index\.html)", index);
  server.Get("/", index);
}

}  // namespace talvo
