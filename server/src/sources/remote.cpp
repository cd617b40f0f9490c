#include "sources/remote.h"

#include <cstdio>
#include <utility>

#include "text/text.h"

namespace talvo {
namespace {

using Clock = std::chrono::steady_clock;

// Past its asker's timeout, a waiter gives the answer this long to be handed over.
constexpr std::chrono::milliseconds kHandOver{100};

// What makes two queries the same song for the upstream: what its own matching would fold.
std::string FlightKey(const upstream::Query& query) {
  std::string key = MatchKey(query.track);
  key += '\x1f';
  key += MatchKey(query.artist);
  key += '\x1f';
  key += MatchKey(query.album);
  key += '\x1f';
  if (query.durationMs) key += std::to_string((*query.durationMs + 500) / 1000);
  return key;
}

}  // namespace

struct RemoteSongs::Flight {
  Clock::time_point deadline;
  bool landed = false;
  std::optional<Song> song;
};

RemoteSongs::RemoteSongs(std::unique_ptr<upstream::Client> client, const std::string& databasePath)
    : client_(std::move(client)) {
  std::string error;
  store_ = Store::Open(databasePath, error);
  if (!store_) std::fprintf(stderr, "upstream: its songs kept in memory only: %s\n", error.c_str());
  writer_ = std::thread([this] { WriteLoop(); });
}

RemoteSongs::~RemoteSongs() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

std::optional<Song> RemoteSongs::Find(const upstream::Query& query) {
  const std::string key = FlightKey(query);
  std::unique_lock lock(mutex_);
  if (const auto kept = unwritten_.find(key); kept != unwritten_.end()) return kept->second;
  // An expired miss stays until asked again, which refreshes it: missOrder_ holds each key once.
  if (const auto miss = misses_.find(key);
      miss != misses_.end() && Clock::now() - miss->second < kMissMemory)
    return std::nullopt;
  if (waiting_ >= kMaxWaiting) return std::nullopt;
  if (const auto flight = flights_.find(key); flight != flights_.end()) {
    const std::shared_ptr<Flight> asked = flight->second;
    ++waiting_;
    answered_.wait_until(lock, asked->deadline + kHandOver, [&] { return asked->landed; });
    --waiting_;
    return asked->song;
  }
  if (fetching_ >= kMaxFetches) return std::nullopt;

  auto flight = std::make_shared<Flight>();
  flight->deadline = Clock::now() + client_->timeout();
  flights_.emplace(key, flight);
  ++waiting_;
  ++fetching_;
  ++asked_;
  lock.unlock();
  upstream::Reply reply = client_->Get(query);
  lock.lock();
  --fetching_;
  --waiting_;
  flights_.erase(key);
  flight->landed = true;
  if (reply.found) {
    flight->song = reply.song;
    if (unwritten_.size() >= kMaxUnwritten) {
      unwritten_.erase(unwrittenOrder_.front());
      unwrittenOrder_.pop_front();
      ++dropped_;
    }
    if (unwritten_.insert_or_assign(key, std::move(reply.song)).second)
      unwrittenOrder_.push_back(key);
    wake_.notify_one();
  } else if (reply.failure == upstream::Failure::None) {
    if (misses_.size() >= kRememberedMisses) {
      misses_.erase(missOrder_.front());
      missOrder_.pop_front();
    }
    if (misses_.insert_or_assign(key, Clock::now()).second) missOrder_.push_back(key);
  } else {
    Log(reply.failure);
  }
  answered_.notify_all();
  return flight->song;
}

std::size_t RemoteSongs::Asked() const {
  const std::lock_guard lock(mutex_);
  return asked_;
}

std::size_t RemoteSongs::Dropped() const {
  const std::lock_guard lock(mutex_);
  return dropped_;
}

void RemoteSongs::Log(upstream::Failure failure) {
  const auto now = Clock::now();
  const auto last = logged_.find(failure);
  if (last != logged_.end() && now - last->second < kLogInterval) return;
  logged_.insert_or_assign(failure, now);
  std::fprintf(stderr, "upstream: %s; the local miss is shown (logged once a minute)\n",
               upstream::FailureName(failure));
}

void RemoteSongs::WriteLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || (store_ && !unwritten_.empty()); });
    if (!store_ || unwritten_.empty()) return;
    // The batch stays where Find sees it until the index has it.
    const std::map<std::string, Song> batch = unwritten_;
    lock.unlock();
    bool written = store_->Begin();
    for (const auto& [key, song] : batch) written = written && store_->PutUpstreamSong(song);
    written = written && store_->Commit();
    if (!written) store_->Rollback();
    lock.lock();
    for (const auto& [key, song] : batch) {
      const auto kept = unwritten_.find(key);
      if (kept == unwritten_.end()) continue;
      unwritten_.erase(kept);
      std::erase(unwrittenOrder_, key);
      if (!written) ++dropped_;
    }
  }
}

}  // namespace talvo
