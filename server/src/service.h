// The lookups the pages make. One LyricsService serves many threads at once: each request
// borrows its own database connection.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "lookup.h"
#include "recent.h"
#include "store.h"
#include "text.h"

namespace talvo {

class LyricsService {
 public:
  LyricsService(std::string databasePath, CodePage codePage);
  ~LyricsService();
  LyricsService(const LyricsService&) = delete;
  LyricsService& operator=(const LyricsService&) = delete;

  // FindSong on a connection of the pool, the lookup then recorded (in memory; see
  // LatestLookups). Nothing when the index cannot be opened: not the same as a song not found.
  std::optional<LookupResult> LookupSong(const SongQuery& query);

  // The latest lookups, newest first, each title and artist once; from memory, never the disk.
  std::vector<Lookup> LatestLookups(int limit) const;

  // The player's code page, for what the plugin sends.
  const CodePage& codePage() const { return codePage_; }

  // A connection borrowed from the pool for one request, given back when it ends; false when
  // the index cannot be opened. What the request reads, it reads from one state of the index.
  class Lease {
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
    Store* operator->() const { return store_.get(); }
    Store& operator*() const { return *store_; }
    explicit operator bool() const { return store_ != nullptr; }

   private:
    LyricsService& service_;
    std::unique_ptr<Store> store_;
  };

 private:
  std::unique_ptr<Store> Borrow();
  void Return(std::unique_ptr<Store> store);

  std::string databasePath_;
  CodePage codePage_;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Store>> pool_;
  RecentLookups recent_;
};

}  // namespace talvo
