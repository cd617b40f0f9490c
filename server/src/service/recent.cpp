#include "service/recent.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace talvo {

RecentLookups::RecentLookups(const std::string& databasePath, std::chrono::milliseconds interval)
    : interval_(interval) {
  std::string error;
  store_ = Store::Open(databasePath, error);
  if (!store_) {
    std::fprintf(stderr, "recent lookups: kept in memory only: %s\n", error.c_str());
  } else {
    const auto seed = store_->RecentLookups(limits::kKeptLookups);
    latest_.assign(seed.begin(), seed.end());
  }
  writer_ = std::thread([this] { WriteLoop(); });
}

RecentLookups::~RecentLookups() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void RecentLookups::Record(const Lookup& lookup) {
  const std::lock_guard lock(mutex_);
  const auto same = std::find_if(latest_.begin(), latest_.end(), [&](const Lookup& seen) {
    return seen.title == lookup.title && seen.artist == lookup.artist;
  });
  if (same != latest_.end()) latest_.erase(same);
  latest_.push_front(lookup);
  if (latest_.size() > static_cast<std::size_t>(limits::kKeptLookups)) latest_.pop_back();

  if (unwritten_.size() >= kMaxUnwritten) {
    unwritten_.pop_front();
    ++dropped_;
  }
  unwritten_.push_back(lookup);
}

std::vector<Lookup> RecentLookups::Latest(int limit) const {
  const std::lock_guard lock(mutex_);
  const auto count = std::min(latest_.size(), static_cast<std::size_t>(std::max(limit, 0)));
  return {latest_.begin(), latest_.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::size_t RecentLookups::Dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

void RecentLookups::WriteLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_ || !unwritten_.empty()) {
    wake_.wait_for(lock, interval_, [this] { return stopping_; });
    if (unwritten_.empty()) continue;
    const std::deque<Lookup> batch = std::exchange(unwritten_, {});
    // Pages go on recording while the index keeps the writer waiting.
    lock.unlock();
    const bool written = Write(batch);
    lock.lock();
    if (!written) dropped_ += batch.size();
  }
}

bool RecentLookups::Write(const std::deque<Lookup>& batch) {
  if (!store_ || !store_->Begin()) return false;
  bool written = true;
  for (const Lookup& lookup : batch) written = store_->RecordLookup(lookup) && written;
  return store_->Commit() && written;
}

}  // namespace talvo
