// What the pages leave for the index (the recent lookups, the upstream's songs), written by a
// thread on a connection of its own (Store::Open), so that no page ever waits on a write. Its
// owner keeps what waits, bounded, and hands it over one batch at a time; the writer asks for one
// at each interval, when woken, and once more at destruction, and writes it in one transaction.
// Nothing is counted twice: the owner counts what it pushes out (Drop), the writer a batch the
// index refuses (rolled back whole; the index says why on stderr).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "index/store.h"

namespace talvo {

class IndexWriter {
 public:
  // Taken from the owner at once: a move or a few pointers under its lock, never a copy of the
  // writes themselves, which run outside it.
  struct Batch {
    std::size_t size = 0;                    // what is counted as dropped if refused; 0: nothing
    std::function<bool(Store&)> write;       // inside the transaction; false when a write failed
    std::function<void(bool written)> done;  // after the commit or the rollback; may be empty
  };
  using Take = std::function<Batch()>;

  // For an owner that wakes the writer whenever it has something.
  static constexpr std::chrono::milliseconds kWhenWoken{0};

  // take is called on the writer's thread, holding none of the writer's locks. opened runs once
  // on the new connection, on the caller's thread before the writer's starts. Without a
  // connection (what says so is printed once, with whose writes they are) no batch is taken.
  IndexWriter(const std::string& databasePath, const std::string& whose,
              std::chrono::milliseconds interval, Take take,
              const std::function<void(Store&)>& opened = {});
  ~IndexWriter();  // a last batch, then the thread ends
  IndexWriter(const IndexWriter&) = delete;
  IndexWriter& operator=(const IndexWriter&) = delete;

  void Wake();
  // What the owner pushed out unwritten.
  void Drop(std::size_t count) { dropped_ += count; }
  // Never written to the index: pushed out, or in a batch the index refused.
  std::size_t Dropped() const { return dropped_; }

 private:
  void Loop();
  void WriteBatch();

  std::unique_ptr<Store> store_;
  const std::chrono::milliseconds interval_;
  const Take take_;
  std::atomic<std::size_t> dropped_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once everything above is ready
};

}  // namespace talvo
