// The songs the index lacks, asked of an upstream server (upstream.h) on behalf of the pages.
// A page is never held longer than the client's timeout and a few milliseconds, and writes
// nothing: what the upstream gives is handed to an IndexWriter, which puts it into the index
// (Store::PutUpstreamSong) so the next play is local; until then, Find gives it from memory.
// What waits to be written is bounded (limits::kUpstreamUnwritten): past it the oldest is dropped
// and counted, as is a batch the index refuses. A song pushed out while its write waits, and
// fetched again meanwhile, is written again whatever became of the first write.
//
// One song (the same keys, album and duration) is asked once at a time: whoever asks meanwhile
// waits for that answer, no longer than its timeout. The upstream's "not found" is remembered for
// limits::kMissMemory (the latest limits::kRememberedMisses of them); a failure is not, and is
// logged on stderr once a minute at most for each kind. Find never throws: what fails in it (out of
// memory, a client that throws after all) is a failure like the upstream's, and undoes what it
// counted.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/limits.h"
#include "index/writer.h"
#include "sources/upstream.h"
#include "text/lyrics.h"

namespace talvo {

class RemoteSongs {
 public:
  // The writer's connection is opened on databasePath (Store::Open); without one, fetched songs
  // are kept in memory only until they are pushed out (and counted as dropped).
  RemoteSongs(std::unique_ptr<upstream::Client> client, const std::string& databasePath);
  ~RemoteSongs();  // writes what is waiting
  RemoteSongs(const RemoteSongs&) = delete;
  RemoteSongs& operator=(const RemoteSongs&) = delete;

  // The upstream's song for the query: a remembered one, or one asked now. Nothing when it has
  // none, failed, or too many pages wait on it already; nothing at once for a remembered miss.
  std::optional<Song> Find(const upstream::Query& query);

  // Exchanges with the upstream so far; songs never written to the index.
  std::size_t Asked() const;
  std::size_t Dropped() const;

 private:
  struct Flight;
  // A fetched song until the index has it. Songs are shared, never copied, with the flight that
  // brought them and the writer's batch; the number tells this fetch from a later one.
  struct Unwritten {
    std::shared_ptr<const Song> song;
    std::uint64_t number = 0;
    bool taken = false;  // in the writer's batch
  };
  struct Taken;

  std::shared_ptr<const Song> Ask(const upstream::Query& query, const std::string& key,
                                  std::unique_lock<std::mutex>& lock);
  void Keep(const std::string& key, std::shared_ptr<const Song> song);
  void Remember(const std::string& key);
  void Log(upstream::Failure failure);
  IndexWriter::Batch TakeUnwritten();
  void Settle(const std::vector<Taken>& batch);

  std::unique_ptr<upstream::Client> client_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;  // a flight landed
  std::map<std::string, std::shared_ptr<Flight>> flights_;
  std::map<std::string, std::chrono::steady_clock::time_point> misses_;  // key: when asked
  std::deque<std::string> missOrder_;                                    // oldest first
  std::map<std::string, Unwritten> unwritten_;
  std::map<std::uint64_t, std::string> unwrittenOrder_;  // by number: oldest first
  std::uint64_t fetched_ = 0;                            // the last number given
  std::array<std::optional<std::chrono::steady_clock::time_point>, upstream::kFailureKinds> logged_;
  int waiting_ = 0;
  int fetching_ = 0;
  std::size_t asked_ = 0;
  IndexWriter writer_;  // last: it starts once everything above is ready
};

}  // namespace talvo
