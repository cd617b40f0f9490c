#include "service/service.h"

#include <chrono>
#include <utility>

namespace talvo {

LyricsService::LyricsService(std::string databasePath, CodePage codePage,
                             std::unique_ptr<upstream::Client> upstream)
    : databasePath_(std::move(databasePath)),
      codePage_(std::move(codePage)),
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

std::optional<LookupResult> LyricsService::LookupSong(const SongQuery& query) {
  std::optional<LookupResult> result;
  bool ask = false;
  {
    Lease store(*this);
    if (!store) return std::nullopt;
    result = FindSong(*store, query);
    // A cut name is not the song's: the upstream matches whole names only.
    const bool cut = query.titleCut || (!query.artist.empty() && query.artistCut);
    ask = remote_ && !cut && !MatchKey(result->title).empty() &&
          !MatchKey(result->artist).empty() &&
          FindSameSong(*store,
                       {.title = result->title,
                        .artist = result->artist,
                        .titleCut = false,
                        .artistCut = false},
                       1)
              .empty();
  }
  if (ask) {
    if (auto song = remote_->Find(
            {.track = result->title, .artist = result->artist, .album = {}, .durationMs = {}}))
      result->best = SongRow{.id = 0, .path = std::string(Store::kUpstreamSource), .song = *song};
  }

  recent_.Record({.at = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count(),
                  .title = result->title,
                  .artist = result->artist,
                  .songId = result->best && result->best->id != 0 ? std::optional(result->best->id)
                                                                  : std::nullopt});
  return result;
}

std::optional<Song> LyricsService::AskUpstream(const upstream::Query& query) {
  return remote_ ? remote_->Find(query) : std::nullopt;
}

std::vector<Lookup> LyricsService::LatestLookups(int limit) const {
  return recent_.Latest(limit);
}

}  // namespace talvo
