// The songs the index lacks, asked of an upstream server (upstream.h) on behalf of the pages.
// A page is never held longer than the client's timeout and a few milliseconds, and writes
// nothing: what the upstream gives is handed to a thread with its own connection, which puts it
// into the index (Store::PutUpstreamSong) so the next play is local; until then, Find gives it
// from memory. What waits to be written is bounded (kMaxUnwritten): past it the oldest is dropped
// and counted, as is a batch the index refuses.
//
// One song (the same keys, album and duration) is asked once at a time: whoever asks meanwhile
// waits for that answer, no longer than its timeout. The upstream's "not found" is remembered for
// kMissMemory (the latest kRememberedMisses of them); a failure is not, and is logged on stderr
// once a minute at most for each kind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "index/store.h"
#include "sources/upstream.h"
#include "text/lyrics.h"

namespace talvo {

class RemoteSongs {
 public:
  // The server answers on 4 workers: at most this many wait on the upstream at once, asking or
  // waiting for another's answer, so one is always free for what the index answers alone.
  static constexpr int kMaxWaiting = 3;
  // Of those, at most this many are exchanges with the upstream; past either, a page shows its
  // local miss at once.
  static constexpr int kMaxFetches = 2;
  // A song added upstream is found the day after; asking more often only costs the upstream.
  static constexpr std::chrono::hours kMissMemory{24};
  // A key and a time each: well under a MiB.
  static constexpr std::size_t kRememberedMisses = 4096;
  static constexpr std::size_t kMaxUnwritten = 256;
  static constexpr std::chrono::seconds kLogInterval{60};

  // The writer's connection is opened on databasePath (Store::Open); without one, fetched songs
  // are kept in memory only until they are pushed out (and counted as dropped).
  RemoteSongs(std::unique_ptr<upstream::Client> client, const std::string& databasePath);
  ~RemoteSongs();  // writes what is waiting, then stops the writer
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
  void Log(upstream::Failure failure);
  void WriteLoop();

  std::unique_ptr<upstream::Client> client_;
  std::unique_ptr<Store> store_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;  // a flight landed
  std::condition_variable wake_;      // the writer has work, or is to stop
  std::map<std::string, std::shared_ptr<Flight>> flights_;
  std::map<std::string, std::chrono::steady_clock::time_point> misses_;  // key: when asked
  std::deque<std::string> missOrder_;                                    // oldest first
  std::map<std::string, Song> unwritten_;  // key: song, until the writer has it in the index
  std::deque<std::string> unwrittenOrder_;
  std::map<upstream::Failure, std::chrono::steady_clock::time_point> logged_;
  int waiting_ = 0;
  int fetching_ = 0;
  std::size_t asked_ = 0;
  std::size_t dropped_ = 0;
  bool stopping_ = false;
  std::thread writer_;  // last: it starts once everything above is ready
};

}  // namespace talvo
