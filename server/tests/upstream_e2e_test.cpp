// --upstream end to end: a second real server, serving an imported dump, is the upstream of the
// one under test, both on loopback; and a fake upstream that counts what it is asked.
#include <csignal>
#include <string>
#include <vector>

#include "dump_writer.h"
#include "fake_upstream.h"
#include "server_harness.h"

namespace {

using namespace talvo::e2e;  // NOLINT(google-build-using-namespace)

int ListeningPort(ServerProcess& server) {
  const std::string prefix = "listening on http://127.0.0.1:";
  const auto line = server.WaitFor(prefix);
  return line.empty() ? 0 : std::stoi(line.substr(prefix.size()));
}

class UpstreamTest : public ServerHarness {
 protected:
  // A server on a dump of two songs by Far Band, "Upstream Song" with timing: its port, or 0.
  int StartUpstream() {
    const fs::path dump = folder_ / "dump.sqlite3";
    const fs::path database = folder_ / "upstream.db";
    const bool written =
        talvo::dump::Write(dump,
                           {{.name = "Upstream Song",
                             .artist = "Far Band",
                             .album = "Far",
                             .duration = 120.0,
                             .lastLyricsId = 1},
                            {.name = "Other Song",
                             .artist = "Far Band",
                             .album = "Far",
                             .duration = 90.0,
                             .lastLyricsId = 2}},
                           {{.id = 1,
                             .plain = "far words\nnear words",
                             .synced = "[00:01.00]far words\n[00:02.00]near words"},
                            {.id = 2, .plain = "other words", .synced = {}}});
    if (!written) return 0;
    ServerProcess import({"--import-lrclib", dump.string(), "--db", database.string()},
                         folder_ / "import-errors.txt");
    if (import.WaitBounded() != 0) return 0;
    fs::create_directories(folder_ / "upstream-library");
    upstream_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--library", (folder_ / "upstream-library").string(), "--db",
                                 database.string(), "--listen", "127.0.0.1:0", "--rescan-interval",
                                 "0"},
        folder_ / "upstream-errors.txt");
    return ListeningPort(*upstream_);
  }
  // SIGTERM, then the exit status: the server writes what it fetched before it exits.
  static int Stop(ServerProcess& server) {
    server.Signal(SIGTERM);
    return server.WaitBounded();
  }

  std::unique_ptr<ServerProcess> upstream_;
};

TEST_F(UpstreamTest, AMissIsFetchedThenKeptInTheIndex) {
  const int upstreamPort = StartUpstream();
  ASSERT_NE(upstreamPort, 0);
  int port = Start({"--upstream", "http://127.0.0.1:" + std::to_string(upstreamPort) + "/api/"});
  ASSERT_NE(port, 0);

  // The plugin's caption, split into names before they are asked.
  const auto show =
      Get(port, "/kr/lyrics_plugin_show.html?title=3.%20Far%20Band%20-%20Upstream%20Song");
  EXPECT_EQ(show.status, 200);
  EXPECT_NE(show.body.find("near words"), std::string::npos) << show.body;
  // get-cached never asks; get does, and gives the timing too.
  const std::string other = "?track_name=Other%20Song&artist_name=Far%20Band";
  EXPECT_EQ(Get(port, "/api/get-cached" + other).status, 404);
  const auto get = Get(port, "/api/get" + other);
  EXPECT_EQ(get.status, 200);
  EXPECT_NE(get.body.find("\"plainLyrics\":\"other words\""), std::string::npos) << get.body;
  const auto timed = Get(port, "/api/get?track_name=Upstream%20Song&artist_name=Far%20Band");
  EXPECT_NE(timed.body.find("\"syncedLyrics\":\"[00:01.00] far words"), std::string::npos)
      << timed.body;

  // Both stopped; the server again, its upstream gone: the songs are its own now.
  EXPECT_EQ(Stop(*upstream_), 0);
  EXPECT_EQ(Stop(*server_), 0);
  port = Start({"--upstream", "http://127.0.0.1:" + std::to_string(upstreamPort)});
  ASSERT_NE(port, 0);
  EXPECT_EQ(Get(port, "/api/get-cached" + other).status, 200);
  const auto again =
      Get(port, "/kr/lyrics_plugin_show.html?title=Upstream%20Song&singer=Far%20Band");
  EXPECT_NE(again.body.find("near words"), std::string::npos) << again.body;
}

TEST_F(UpstreamTest, ANotFoundIsAskedOnceWhicheverPageAsks) {
  talvo::fake::Upstream upstream(talvo::fake::Upstream::Answer(
      talvo::fake::Response(404, "application/json", R"({"code":404})")));
  const int port = Start({"--upstream", upstream.url()});
  ASSERT_NE(port, 0);
  EXPECT_EQ(Get(port, "/api/get?track_name=Nowhere&artist_name=Nobody").status, 404);
  EXPECT_EQ(Get(port, "/kr/lyrics_plugin_show.html?title=NOWHERE&singer=nobody").status, 200);
  EXPECT_EQ(Get(port, "/api/get?track_name=Nowhere&artist_name=Nobody").status, 404);
  EXPECT_EQ(upstream.requests(), 1);
}

}  // namespace
