// The lookups the pages make. One LyricsService serves many threads at once: each request
// borrows its own database connection.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "index/store.h"
#include "service/lookup.h"
#include "service/recent.h"
#include "sources/remote.h"
#include "sources/upstream.h"
#include "text/text.h"

namespace talvo {

class LyricsService {
 public:
  // With an upstream, a song the index lacks is asked of it (RemoteSongs).
  LyricsService(std::string databasePath, CodePage codePage,
                std::unique_ptr<upstream::Client> upstream = nullptr);
  ~LyricsService();
  LyricsService(const LyricsService&) = delete;
  LyricsService& operator=(const LyricsService&) = delete;

  // FindSong on a connection of the pool, the lookup then recorded (in memory; see
  // LatestLookups). Nothing when the index cannot be opened: not the same as a song not found.
  // When the index has no song of the names (after any caption split; whole names, an artist
  // among them), the upstream's is the best match, under id 0 until it is in the index.
  std::optional<LookupResult> LookupSong(const SongQuery& query);

  // The upstream's song for a query the index has no answer to; nothing without an upstream.
  // Call it with no Lease held: it may wait for the upstream's timeout.
  std::optional<Song> AskUpstream(const upstream::Query& query);

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
  std::unique_ptr<RemoteSongs> remote_;
};

}  // namespace talvo
