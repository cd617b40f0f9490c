#include "service/recent.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace talvo {

RecentLookups::RecentLookups(const std::string& databasePath, std::chrono::milliseconds interval)
    : writer_(
          databasePath, "recent lookups", interval, [this] { return TakeUnwritten(); },
          [this](Store& store) {
            const auto seed = store.RecentLookups(limits::kKeptLookups);
            latest_.assign(seed.begin(), seed.end());
          }) {}

RecentLookups::~RecentLookups() = default;

void RecentLookups::Record(const Visit& lookup) {
  const std::lock_guard lock(mutex_);
  const auto same = std::find_if(latest_.begin(), latest_.end(), [&](const Visit& seen) {
    return seen.title == lookup.title && seen.artist == lookup.artist;
  });
  if (same != latest_.end()) latest_.erase(same);
  latest_.push_front(lookup);
  if (latest_.size() > static_cast<std::size_t>(limits::kKeptLookups)) latest_.pop_back();

  if (unwritten_.size() >= limits::kRecentUnwritten) {
    unwritten_.pop_front();
    writer_.Drop(1);
  }
  unwritten_.push_back(lookup);
}

std::vector<Visit> RecentLookups::Latest(int limit) const {
  const std::lock_guard lock(mutex_);
  const auto count = std::min(latest_.size(), static_cast<std::size_t>(std::max(limit, 0)));
  return {latest_.begin(), latest_.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::size_t RecentLookups::Dropped() const {
  return writer_.Dropped();
}

IndexWriter::Batch RecentLookups::TakeUnwritten() {
  auto batch = std::make_shared<std::deque<Visit>>();
  {
    const std::lock_guard lock(mutex_);
    batch->swap(unwritten_);
  }
  return {.size = batch->size(),
          .write =
              [batch](Store& store) {
                for (const Visit& lookup : *batch)
                  if (!store.RecordLookup(lookup)) return false;
                return true;
              },
          .done = {}};
}

}  // namespace talvo
