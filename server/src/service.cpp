#include "service.h"

#include <chrono>
#include <utility>

namespace talvo {

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

std::optional<LookupResult> LyricsService::LookupSong(const SongQuery& query) {
  Lease store(*this);
  if (!store) return std::nullopt;
  auto result = FindSong(*store, query);

  recent_.Record({.at = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count(),
                  .title = result.title,
                  .artist = result.artist,
                  .songId = result.best ? std::optional(result.best->id) : std::nullopt});
  return result;
}

std::vector<Lookup> LyricsService::LatestLookups(int limit) const {
  return recent_.Latest(limit);
}

}  // namespace talvo
