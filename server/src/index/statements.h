// The statements a connection prepares once and keeps: every SQL text the index runs, in one
// place. Inside the index only.
#pragma once

#include "index/sql.h"
#include "index/store.h"

namespace talvo {

struct Store::Statements {
  sql::Statement begin, beginRead, commit, rollback;
  sql::Statement savepoint, release, rollbackTo;
  sql::Statement stamp, paths, putFile, deleteSongs, putSong, deleteFile, songCount;
  sql::Statement deleteDumpSongs, deleteDumps, songIndexes, putDump;
  sql::Statement putUpstream, deleteUpstreamSong, indexSongNames, indexSongText;
  // On the import's scratch table, which exists only during an import: prepared by the first.
  sql::Statement putDumpKeys, indexDumpSongs, indexDumpNames;
  sql::Statement checkpoint;
  sql::Statement optimizeSongs, optimizeNames;
  sql::Statement findExact, findTitle, findArtist, search, searchNames, songById, syncedById;
  sql::Statement findTitleStart, findArtistStart, findKeyStarts;
  sql::Statement putLookup, trimLookups, recentLookups;

  int Prepare(sqlite3* db);
  // A dump's keys are kept aside as its songs go in, so that IndexDump reads them back from a
  // table a few bytes a row wide rather than from the songs' rows with their lyrics. Temporary:
  // the connection's own, gone with it; a rolled back import drops it, and a statement prepared
  // on it finds it again when it is made again.
  int PrepareDump(sqlite3* db);
};

}  // namespace talvo
