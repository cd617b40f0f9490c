// The recent lookups the index page lists: kept in memory, newest first, each title and artist
// once, the latest limits::kKeptLookups of them, seeded from the index at start. Recording one
// costs a page a short lock on memory and nothing else: no database, no disk.
//
// An IndexWriter writes them to the index on its own connection, once every interval and once
// more at destruction: each commit makes every page's connection look again at what changed, so
// commits are kept rare. They are a convenience, never worth a slow page, so what waits to be
// written is bounded (limits::kRecentUnwritten): past it the oldest unwritten lookup is dropped and
// counted, as is a batch the index refuses.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/limits.h"
#include "index/store.h"
#include "index/writer.h"

namespace talvo {

class RecentLookups {
 public:
  // Opens the writer's connection to the index at databasePath (Store::Open) and reads the
  // latest lookups from it. Without a connection the lookups are kept in memory only, each
  // counted as dropped once pushed out.
  explicit RecentLookups(const std::string& databasePath,
                         std::chrono::milliseconds interval = limits::kRecentWriteInterval);
  ~RecentLookups();
  RecentLookups(const RecentLookups&) = delete;
  RecentLookups& operator=(const RecentLookups&) = delete;

  void Record(const Visit& lookup);
  // The latest, newest first; at once, whether written yet or not.
  std::vector<Visit> Latest(int limit) const;
  // Lookups never written to the index: pushed out while waiting, or refused by it.
  std::size_t Dropped() const;

 private:
  IndexWriter::Batch TakeUnwritten();

  mutable std::mutex mutex_;
  std::deque<Visit> latest_;     // newest first
  std::deque<Visit> unwritten_;  // oldest first
  IndexWriter writer_;           // last: it starts once everything above is ready
};

}  // namespace talvo
