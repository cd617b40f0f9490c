// The lookups and the HTTP routes over them. One LyricsService serves many threads at once:
// each request borrows its own database connection.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lookup.h"
#include "recent.h"
#include "store.h"
#include "text.h"

namespace httplib {
class Server;
}

namespace talvo {

class LyricsService {
 public:
  LyricsService(std::string databasePath, CodePage codePage);
  ~LyricsService();
  LyricsService(const LyricsService&) = delete;
  LyricsService& operator=(const LyricsService&) = delete;

  // The song for a title and singer as UTF-8. An empty singer makes the title a player caption:
  // a leading playlist number goes and "Artist - Title" is split. Tries the exact title and
  // artist, then the title alone, then a ranked search. Records the lookup (in memory; see
  // RecentLookups).
  LookupResult LookupSong(std::string_view title, std::string_view singer);

  // The routes (httplib matches paths as regular expressions, so dots are escaped), the
  // 400/404/405/414 answers and the error pages.
  void Install(httplib::Server& server);

 private:
  class Lease;
  std::unique_ptr<Store> Borrow();
  void Return(std::unique_ptr<Store> store);

  std::string databasePath_;
  CodePage codePage_;
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Store>> pool_;
  RecentLookups recent_;
};

}  // namespace talvo
