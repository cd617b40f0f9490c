#include "service/service.h"

#include <chrono>
#include <utility>

#include "text/text.h"

namespace talvo {

// A connection borrowed from the pool for one call, given back when it ends; false when the index
// cannot be opened. What the call reads, it reads from one state of the index.
class LyricsService::Lease {
 public:
  explicit Lease(LyricsService& service) : service_(service), store_(service.Borrow()) {
    if (store_) store_->BeginRead();
  }
  ~Lease() {
    if (!store_) return;
    store_->EndRead();
    service_.Return(std::move(store_));
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Store& operator*() const { return *store_; }
  Store* operator->() const { return store_.get(); }
  explicit operator bool() const { return store_ != nullptr; }

 private:
  LyricsService& service_;
  std::unique_ptr<Store> store_;
};

LyricsService::LyricsService(std::string databasePath, std::unique_ptr<upstream::Client> upstream)
    : databasePath_(std::move(databasePath)),
      recent_(databasePath_),
      remote_(upstream ? std::make_unique<RemoteSongs>(std::move(upstream), databasePath_)
                       : nullptr) {}

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

std::optional<SongRow> LyricsService::AskUpstream(const upstream::Query& query, bool cut) {
  if (!remote_ || cut || MatchKey(query.track).empty() || MatchKey(query.artist).empty())
    return std::nullopt;
  auto song = remote_->Find(query);
  if (!song) return std::nullopt;
  return SongRow{.id = 0,
                 .path = std::string(Store::kUpstreamSource),
                 .source = Source::Upstream,
                 .song = std::move(*song)};
}

Outcome<LookupResult> LyricsService::LookUp(const SongQuery& query) {
  std::optional<LookupResult> result;
  bool answered = true;
  {
    Lease store(*this);
    if (!store) return Failure::Unavailable;
    result = FindSong(*store, query);
    // A near miss is no answer for the upstream: only the same song is.
    answered = !remote_ || !FindSameSong(*store,
                                         {.title = result->title,
                                          .artist = result->artist,
                                          .titleCut = false,
                                          .artistCut = false},
                                         1)
                                .empty();
  }
  if (!answered) {
    const bool cut = query.titleCut || (!query.artist.empty() && query.artistCut);
    if (auto row = AskUpstream(
            {.track = result->title, .artist = result->artist, .album = {}, .durationMs = {}}, cut))
      result->best = std::move(row);
  }
  recent_.Record({.at = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count(),
                  .title = result->title,
                  .artist = result->artist,
                  .songId = result->best && result->best->id != 0 ? std::optional(result->best->id)
                                                                  : std::nullopt});
  return std::move(*result);
}

Outcome<SongRow> LyricsService::Track(const TrackQuery& query, OnMiss onMiss) {
  {
    Lease store(*this);
    if (!store) return Failure::Unavailable;
    if (auto song = FindTrack(*store, query)) return std::move(*song);
  }
  if (onMiss == OnMiss::AskUpstream) {
    if (auto row = AskUpstream({.track = query.track,
                                .artist = query.artist,
                                .album = query.album,
                                .durationMs = query.durationMs},
                               false))
      return std::move(*row);
  }
  return Failure::NotFound;
}

Outcome<std::vector<SongRow>> LyricsService::Search(const std::string& text, int limit) {
  Lease store(*this);
  if (!store) return Failure::Unavailable;
  return store->Search(text, limit);
}

Outcome<std::vector<SongRow>> LyricsService::SearchTracks(const TrackSearch& search, int limit) {
  Lease store(*this);
  if (!store) return Failure::Unavailable;
  return FindTracks(*store, search, limit);
}

Outcome<SongRow> LyricsService::SongById(std::int64_t id, Timing timing) {
  Lease store(*this);
  if (!store) return Failure::Unavailable;
  auto row = store->SongById(id);
  if (!row) return Failure::NotFound;
  if (timing == Timing::With) row->song.synced = store->SyncedLyrics(id);
  return std::move(*row);
}

Outcome<Summary> LyricsService::Summarize(int recentLimit) {
  Lease store(*this);
  if (!store) return Failure::Unavailable;
  return Summary{.songCount = store->SongCount(), .recent = recent_.Latest(recentLimit)};
}

}  // namespace talvo
