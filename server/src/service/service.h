// The catalogue over the index, the recent lookups and the upstream: what every page and API
// asks. One LyricsService serves many threads at once: each call borrows a read connection of
// its own and sees the index in one state through it, and none writes to the index (the recent
// lookups and the upstream's songs go to writers of their own).
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "index/store.h"
#include "service/catalogue.h"
#include "service/recent.h"
#include "sources/remote.h"
#include "sources/upstream.h"

namespace talvo {

class LyricsService final : public Catalogue {
 public:
  // With an upstream, a song the index lacks is asked of it (RemoteSongs).
  explicit LyricsService(std::string databasePath,
                         std::unique_ptr<upstream::Client> upstream = nullptr);
  ~LyricsService() override;
  LyricsService(const LyricsService&) = delete;
  LyricsService& operator=(const LyricsService&) = delete;

  Outcome<LookupResult> LookUp(const SongQuery& query) override;
  Outcome<SongRow> Track(const TrackQuery& query, OnMiss onMiss) override;
  Outcome<std::vector<SongRow>> Search(const std::string& text, int limit) override;
  Outcome<std::vector<SongRow>> SearchTracks(const TrackSearch& search, int limit) override;
  Outcome<SongRow> SongById(std::int64_t id, Timing timing) override;
  Outcome<Summary> Summarize(int recentLimit) override;

 private:
  class Lease;
  std::unique_ptr<Store> Borrow();
  void Return(std::unique_ptr<Store> store);
  // The one rule for asking the upstream: there is one, the index had no answer, and the names
  // are whole (it matches whole names only) with a title and an artist to ask for. Called with
  // no Lease held: it may wait for the upstream's timeout.
  std::optional<SongRow> AskUpstream(const upstream::Query& query, bool cut);

  std::string databasePath_;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Store>> pool_;
  RecentLookups recent_;
  std::unique_ptr<RemoteSongs> remote_;
};

}  // namespace talvo
