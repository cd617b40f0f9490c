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

// Runs its action on every way out of a scope, exceptions included.
template <class Action>
class OnExit {
 public:
  explicit OnExit(Action action) : action_(std::move(action)) {}
  ~OnExit() { action_(); }
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;

 private:
  Action action_;
};

void Hold(std::unique_lock<std::mutex>& lock) {
  if (!lock.owns_lock()) lock.lock();
}

}  // namespace

struct RemoteSongs::Flight {
  Clock::time_point deadline;
  bool landed = false;
  std::shared_ptr<const Song> song;
};

struct RemoteSongs::Taken {
  std::string key;
  std::uint64_t number = 0;
  std::shared_ptr<const Song> song;
};

RemoteSongs::RemoteSongs(std::unique_ptr<upstream::Client> client, const std::string& databasePath)
    : client_(std::move(client)),
      writer_(databasePath, "upstream: its songs", IndexWriter::kWhenWoken,
              [this] { return TakeUnwritten(); }) {}

RemoteSongs::~RemoteSongs() = default;

std::optional<Song> RemoteSongs::Find(const upstream::Query& query) {
  try {
    const std::string key = FlightKey(query);
    std::unique_lock lock(mutex_);
    const std::shared_ptr<const Song> song = Ask(query, key, lock);
    lock.unlock();
    // Up to a MiB: copied outside the lock every page that asks takes.
    if (song) return *song;
  } catch (...) {
    const std::lock_guard lock(mutex_);
    Log(upstream::Failure::System);
  }
  return std::nullopt;
}

std::shared_ptr<const Song> RemoteSongs::Ask(const upstream::Query& query, const std::string& key,
                                             std::unique_lock<std::mutex>& lock) {
  if (const auto kept = unwritten_.find(key); kept != unwritten_.end()) return kept->second.song;
  // An expired miss stays until asked again, which refreshes it: missOrder_ holds each key once.
  if (const auto miss = misses_.find(key);
      miss != misses_.end() && Clock::now() - miss->second < limits::kMissMemory)
    return nullptr;
  if (waiting_ >= limits::kUpstreamWaiting) return nullptr;
  // Each count is given back however this ends, or one failure would hold a place for good.
  ++waiting_;
  const OnExit waited([&] {
    Hold(lock);
    --waiting_;
  });
  if (const auto flight = flights_.find(key); flight != flights_.end()) {
    const std::shared_ptr<Flight> asked = flight->second;
    answered_.wait_until(lock, asked->deadline + kHandOver, [&] { return asked->landed; });
    return asked->song;
  }
  if (fetching_ >= limits::kUpstreamFetches) return nullptr;
  ++fetching_;
  const OnExit fetched([&] {
    Hold(lock);
    --fetching_;
  });
  ++asked_;
  auto flight = std::make_shared<Flight>();
  flight->deadline = Clock::now() + client_->timeout();
  flights_.emplace(key, flight);
  const OnExit landed([&] {
    Hold(lock);
    flights_.erase(key);
    flight->landed = true;
    answered_.notify_all();
  });
  lock.unlock();
  upstream::Reply reply = client_->Get(query);
  lock.lock();
  if (reply.found) {
    flight->song = std::make_shared<const Song>(std::move(reply.song));
    Keep(key, flight->song);
  } else if (reply.failure == upstream::Failure::None) {
    Remember(key);
  } else {
    Log(reply.failure);
  }
  return flight->song;
}

void RemoteSongs::Keep(const std::string& key, std::shared_ptr<const Song> song) {
  // unwrittenOrder_ names every song kept (and after a failed allocation, at worst one gone).
  while (unwritten_.size() >= limits::kUpstreamUnwritten) {
    const auto oldest = unwrittenOrder_.begin();
    if (const auto pushed = unwritten_.find(oldest->second);
        pushed != unwritten_.end() && pushed->second.number == oldest->first) {
      // One in the writer's batch is counted there if the index refuses it.
      if (!pushed->second.taken) writer_.Drop(1);
      unwritten_.erase(pushed);
    }
    unwrittenOrder_.erase(oldest);
  }
  const std::uint64_t number = ++fetched_;
  unwrittenOrder_.emplace(number, key);
  unwritten_.insert_or_assign(key, Unwritten{.song = std::move(song), .number = number});
  writer_.Wake();
}

void RemoteSongs::Remember(const std::string& key) {
  if (misses_.size() >= limits::kRememberedMisses) {
    misses_.erase(missOrder_.front());
    missOrder_.pop_front();
  }
  if (misses_.insert_or_assign(key, Clock::now()).second) missOrder_.push_back(key);
}

std::size_t RemoteSongs::Asked() const {
  const std::lock_guard lock(mutex_);
  return asked_;
}

std::size_t RemoteSongs::Dropped() const {
  return writer_.Dropped();
}

void RemoteSongs::Log(upstream::Failure failure) {
  const auto now = Clock::now();
  auto& last = logged_.at(static_cast<std::size_t>(failure));
  if (last && now - *last < limits::kFailureLogInterval) return;
  last = now;
  std::fprintf(stderr, "upstream: %s; the local miss is shown (logged once a minute)\n",
               upstream::FailureName(failure));
}

IndexWriter::Batch RemoteSongs::TakeUnwritten() {
  auto batch = std::make_shared<std::vector<Taken>>();
  {
    const std::lock_guard lock(mutex_);
    for (const auto& [key, kept] : unwritten_)
      if (!kept.taken) batch->push_back({.key = key, .number = kept.number, .song = kept.song});
    // Only once the batch is whole: a failed allocation above leaves every song to the next.
    for (auto& [key, kept] : unwritten_) kept.taken = true;
  }
  return {.size = batch->size(),
          .write =
              [batch](Store& store) {
                for (const Taken& taken : *batch)
                  if (!store.PutUpstreamSong(*taken.song)) return false;
                return true;
              },
          .done = [this, batch](bool) { Settle(*batch); }};
}

void RemoteSongs::Settle(const std::vector<Taken>& batch) {
  const std::lock_guard lock(mutex_);
  for (const Taken& taken : batch) {
    // The index has this fetch of the song, or refused it; a later fetch waits for its own batch.
    const auto kept = unwritten_.find(taken.key);
    if (kept == unwritten_.end() || kept->second.number != taken.number) continue;
    unwrittenOrder_.erase(kept->second.number);
    unwritten_.erase(kept);
  }
}

}  // namespace talvo
