// Every bound the server keeps on what a client, a file, a dump or another server may cost it, with
// its reason, in one place: where two depend on each other, the compiler checks it.
//
// Connections that write to the index, each its own (SQLite lets one write at a time; the others
// wait up to kWriteBusyTimeout, then give up on that batch):
//   - the scan (app/main.cpp): the library's files and their songs, in batches (kScanBatch*);
//   - the import (--import-lrclib, a run of its own): a dump's songs, in one transaction;
//   - the background writer of the pages (index/writer.h): recorded lookups and the upstream's
//     songs, which no page writes itself.
// Pages read through read-only connections of their own, which never wait for a writer (WAL).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace talvo::limits {

using std::chrono::milliseconds;
using std::chrono::seconds;

// --- What one client may send and hold -----------------------------------------------------------

// The whole request line, method and version included; the plugin's longest address fits with
// room to spare.
constexpr std::size_t kRequestLineLimit = std::size_t{16} * 1024;
// The request line and every header field together; browsers send a few KiB.
constexpr std::size_t kHeaderLimit = std::size_t{64} * 1024;
// GET and HEAD carry no body; a small one is read past so the connection stays in step.
constexpr std::size_t kBodyLimit = 1024;
// The plugin's longest query is far below this; a longer one is not from it.
constexpr std::size_t kQueryLimit = 8192;
// A connection costs a socket and a read buffer of up to kHeaderLimit; past this many, the server
// stops accepting and the rest wait in the listen backlog.
constexpr std::size_t kMaxConnections = 512;
// Bursts of new connections wait here while the loop is busy (the kernel may cap it lower).
constexpr int kBacklog = 1024;
// How long a connection may take to deliver its next request in full: covers an idle kept-alive
// connection and a client that trickles its header alike.
constexpr seconds kRequestTimeout{15};
// Handlers at once: SQLite lookups use a core each, and the machine has few.
constexpr unsigned kWorkers = 4;

static_assert(kQueryLimit < kRequestLineLimit, "a query over its limit must still be read");
static_assert(kRequestLineLimit < kHeaderLimit);

// --- What one song may be -----------------------------------------------------------------------

// The most lyrics one file or tag holds, before and after parsing: far above any song, and small
// enough that a row, a page and the request that renders it stay cheap.
constexpr std::size_t kMaxLyricsBytes = std::size_t{1} << 20;
// Only the first MiB of a name counts towards its key.
constexpr std::size_t kMaxKeyBytes = std::size_t{1} << 20;

// --- The index ----------------------------------------------------------------------------------

// A page's reader waits this long at most for a lock (only a checkpoint's brief one): a page had
// better fail than hang.
constexpr milliseconds kReadBusyTimeout{100};
// Writers take turns; one that waits longer than this gives up its batch.
constexpr milliseconds kWriteBusyTimeout{5000};
// The recent lookups kept in the index.
constexpr int kKeptLookups = 500;
// A key's start (a name a tag cut short) says too little past this many songs it begins.
constexpr int kKeyStartScan = 256;
// Search words beyond this many add nothing but cost.
constexpr std::size_t kMaxSearchWords = 16;

// A scan's batch: the files written per transaction, the bytes of songs read and waiting to be
// written, and the longest a read file waits or a transaction stays open. Few commits, yet the
// other writers never wait long for it.
constexpr std::size_t kScanBatchFiles = 2000;
constexpr std::size_t kScanBatchBytes = std::size_t{16} << 20;
constexpr milliseconds kScanBatchTime{500};
static_assert(kScanBatchTime * 4 < kWriteBusyTimeout,
              "a writer waiting behind a scan's batch must not give up");

// --- The pages' lists ---------------------------------------------------------------------------

constexpr int kSearchPageResults = 50;
// LRCLIB's search gives at most this many records.
constexpr int kTrackSearchResults = 20;
constexpr int kRecentLookupsShown = 20;
// Other songs a show page offers.
constexpr int kCandidates = 8;
// Versions of one title by one artist worth weighing; a library holds a handful at most.
constexpr int kVersions = 20;
static_assert(kRecentLookupsShown <= kKeptLookups);

// --- The recent lookups' and the upstream's writes ----------------------------------------------

// Each commit makes every page's connection look again at what changed, so they are rare.
constexpr milliseconds kRecentWriteInterval{2000};
// More would only be written to be trimmed.
constexpr std::size_t kRecentUnwritten = kKeptLookups;
// Upstream songs waiting to be written: up to kMaxLyricsBytes each.
constexpr std::size_t kUpstreamUnwritten = 256;

// --- The upstream -------------------------------------------------------------------------------

// A record is a few KiB and the longest lyrics are far below this; more is not a record.
constexpr std::size_t kUpstreamBodyLimit = std::size_t{1} << 20;
// A page waits this long at most for the upstream before it shows the local miss.
constexpr milliseconds kUpstreamTimeout{2000};
// Pages that wait on the upstream at once, asking or waiting for another's answer: one worker is
// always free for what the index answers alone.
constexpr int kUpstreamWaiting = 3;
// Of those, exchanges with the upstream at once.
constexpr int kUpstreamFetches = 2;
// Name lookups of the system cannot be cancelled: each outlives a timed-out exchange in a thread
// of its own; past this many at once an exchange fails instead of starting another.
constexpr int kMaxResolving = 4;
// A song added upstream is found the day after; asking more often only costs the upstream.
constexpr std::chrono::hours kMissMemory{24};
// A key and a time each: well under a MiB.
constexpr std::size_t kRememberedMisses = 4096;
// Each kind of failure is logged once in this long.
constexpr seconds kFailureLogInterval{60};

static_assert(kUpstreamWaiting < static_cast<int>(kWorkers),
              "pages waiting on the upstream must leave a worker for the rest");
static_assert(kUpstreamFetches <= kUpstreamWaiting);
static_assert(kMaxResolving >= kUpstreamFetches, "every fetch may start a name lookup");

}  // namespace talvo::limits
