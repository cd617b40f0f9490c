// The index: one SQLite database holding every lyrics file seen in the library, the songs read
// from it, FTS5 indexes over them, and the recent lookups. A Store is one connection: use it from
// one thread at a time, and open one per thread (WAL mode lets readers run beside the scanner).
// Pages read through connections opened for reading only, which never wait on a writer.
//
// A Store never throws. When SQLite fails (a full disk, a corrupt file, a lock held too long) the
// call does nothing or returns nothing, the message goes to stderr and LastError() keeps it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/limits.h"
#include "core/song.h"

struct sqlite3;

namespace talvo {

// What tells a file changed without reading it.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// A song as the index reads it back: every field but song.synced, which stays empty (SyncedLyrics
// reads it). Pages read many rows and never show timing; the text is as long as the lyrics.
struct SongRow {
  std::int64_t id = 0;
  std::string path;  // the library file it was read from, or the dump's or upstream's entry
  Source source = Source::Library;
  Song song;
};

// A show page's lookup as the index keeps it: what was asked for, when, and what was shown.
struct Visit {
  std::int64_t at = 0;  // seconds since the epoch
  std::string title;    // as searched for, UTF-8
  std::string artist;
  std::optional<std::int64_t> songId;  // the song shown, if any
};

class Store {
 public:
  // Opens or creates the database at path (its folder must exist), in WAL mode with the schema
  // in place. Nothing, with error set, when it cannot.
  static std::unique_ptr<Store> Open(const std::string& path, std::string& error);
  // Opens an index that Open has created, for reading only: no schema work, and any
  // write fails. A reader waits at most limits::kReadBusyTimeout for a lock, and never for the
  // writer (WAL), so a page is never held up by a scan.
  static std::unique_ptr<Store> OpenForReading(const std::string& path, std::string& error);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Groups many writes into one transaction; a scan without it is one fsync per file. Begin
  // inside a transaction and Commit outside one do nothing. Each answers whether it worked; a
  // failed Commit rolls back.
  bool Begin();
  bool Commit();
  // Reads between BeginRead and EndRead see the index in one state, whatever a writer commits
  // meanwhile, and take that state once rather than once per statement.
  bool BeginRead();
  void EndRead();

  // The stamp recorded for a file, or nothing for a file not in the index.
  std::optional<FileStamp> Stamp(const std::string& path);
  // Every library file in the index.
  std::vector<std::string> Paths();
  // Replaces everything known about a file: its stamp and its songs (none is allowed: a file
  // seen but holding no lyrics is still recorded, so it is not read again while unchanged).
  // False, with the file as it was, when it could not be written.
  bool PutFile(const std::string& path, FileStamp stamp, const std::vector<Song>& songs);
  bool RemoveFile(const std::string& path);

  // A dump's songs (a published lyrics database, not the library) are kept under an entry of
  // their own, source, that Paths never lists, so a scan never removes them; where a library
  // song and a dump's have the same names, the library's comes first. Their lyrics are not
  // searched, their names are. Inside the caller's transaction (Begin), so that a dump replaces
  // the last one in one commit or not at all.
  // Drops the songs of every dump imported before and records source as the current one. Until
  // IndexDump (or the commit), the songs' key indexes are gone: lookups in the transaction scan.
  bool ReplaceDump(const std::string& source, FileStamp stamp);
  bool PutDumpSong(const std::string& source, const Song& song);
  // Puts the names of the songs PutDumpSong put since ReplaceDump into the search indexes: once,
  // after the last. FTS5 writes out what it holds at the end of every statement, so a row at a
  // time would make a segment of each song and merge them over and over (four fifths of an
  // import's time).
  bool IndexDump();
  // A song another server gave (upstream.h) is a dump's song under source kUpstreamSource, which
  // neither scans nor ReplaceDump remove; it replaces the one given before with the same names
  // and album. Its names are searched at once. Inside the caller's transaction (Begin).
  static constexpr std::string_view kUpstreamSource = "upstream:";
  bool PutUpstreamSong(const Song& song);
  // Abandons the transaction Begin started, writes and all.
  void Rollback();
  // Copies the write-ahead log into the database and empties it; false when a reader kept some
  // of it (it is then copied later). After a large commit, so the log does not keep its size.
  bool Checkpoint();
  // The memory this connection may keep of the database's pages.
  bool SetCacheKiB(std::int64_t kibibytes);

  std::int64_t SongCount();

  // Merges each search index into one segment: after many writes a word is looked up in dozens
  // of them, which is most of what a missing song costs. Rewrites the indexes, so it is for the
  // end of a scan that changed them.
  bool OptimizeSearch();

  // Songs whose title and artist keys (MatchKey) are exactly these, best first: the library's
  // before a dump's, then the fullest lyrics, then the one indexed first.
  std::vector<SongRow> FindExact(const std::string& titleKey, const std::string& artistKey,
                                 int limit);
  // Songs whose title key is exactly this, whatever the artist: those by the preferred artist
  // (a key; empty prefers none) first, then as FindExact orders them.
  std::vector<SongRow> FindTitle(const std::string& titleKey, int limit,
                                 const std::string& preferredArtistKey = {});
  // Whether a key given to FindKeys is a song's whole key or its start: a name cut short, as
  // ID3v1 cuts one at 30 bytes, is the start of the song's key, and may end inside a word.
  enum class KeyPart { Whole, Start };
  // Songs whose title and artist keys are these, or begin with them where a part is Start (an
  // empty artist start is any artist; an empty title start finds nothing); the shortest keys
  // first (the least added to what was cut), then as FindExact orders them. A key's start is
  // a range of the key index, of which at most limits::kKeyStartScan songs are looked at: a start
  // that begins more keys than that says too little to choose among them.
  std::vector<SongRow> FindKeys(const std::string& titleKey, KeyPart title,
                                const std::string& artistKey, KeyPart artist, int limit);
  // Songs by the artist with this key, in title order; none for the empty key. Names only, as a
  // list of songs shows them: each row holds its id, title and artist, nothing else.
  std::vector<SongRow> FindArtist(const std::string& artistKey, int limit);
  // Whether a search wants songs with all the words (the last may be a prefix, as a user may
  // still be typing it), all of them whole (names from a tag or a caption, which are complete:
  // a prefix would cost the merging of every word it starts), or any of them, the songs with more
  // of them ranked first.
  enum class Words { All, AllWhole, Any };
  // Whether a search looks at the lyrics too or only at titles and artists (an index of its
  // own, far shorter lists for a common word).
  enum class Within { Everything, Names };
  // FTS5 search over titles, artists and lyrics (or the names alone), ranked (bm25, titles and
  // artists weigh most).
  // text is free text from a user: every word is matched as a quoted term, never as FTS5 query
  // syntax. Empty text finds nothing.
  std::vector<SongRow> Search(const std::string& text, int limit, Words words = Words::All,
                              Within within = Within::Everything);
  std::optional<SongRow> SongById(std::int64_t id);
  // The song's synced text: empty when it has no timing or is not in the index.
  std::string SyncedLyrics(std::int64_t id);

  // Keeps only the latest limits::kKeptLookups. False when it could not be written.
  bool RecordLookup(const Visit& lookup);
  // The latest lookups, newest (most recently recorded) first, each title and artist once.
  std::vector<Visit> RecentLookups(int limit);

  // The message of the latest SQLite failure on this connection; empty while none has failed.
  const std::string& LastError() const { return lastError_; }

 private:
  struct Statements;
  explicit Store(sqlite3* db);
  static std::unique_ptr<Store> Connect(const std::string& path, bool writable, std::string& error);
  bool Check(int code, const char* what);
  // A dump's songs go in with the songs' own indexes dropped, and the indexes are built again
  // from every row before the transaction commits (IndexDump, else Commit).
  bool DropSongIndexes();
  bool RestoreSongIndexes();
  bool InsertSong(const std::string& path, Source source, const Song& song,
                  const std::string& titleKey, const std::string& artistKey);
  // The songs with these ids, in their order; one gone since they were found (a scan committed
  // in between) is left out.
  std::vector<SongRow> SongsById(const std::vector<std::int64_t>& ids);

  sqlite3* db_;
  std::unique_ptr<Statements> statements_;
  std::string lastError_;
  // What DropSongIndexes dropped, as the schema states it, until it is built again.
  std::vector<std::string> droppedIndexes_;
};

}  // namespace talvo
