// Asking the upstream on the pages' behalf: how often it is asked, how many pages wait on it,
// and what reaches the index.
#include "sources/remote.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fake_upstream.h"
#include "text/text.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;
using fake::Upstream;

constexpr std::string_view kRecord =
    R"({"trackName":"Song","artistName":"Band","albumName":"Album","duration":200,)"
    R"("instrumental":false,"plainLyrics":"words","syncedLyrics":"[00:01.00]words"})";

upstream::Query Named(std::string track, std::string artist = "Band") {
  return {.track = std::move(track), .artist = std::move(artist), .album = {}, .durationMs = {}};
}

class RemoteTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "talvo-remote-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::unique_ptr<RemoteSongs> Remote(const std::string& url,
                                      std::chrono::milliseconds timeout = std::chrono::seconds(2)) {
    std::string error;
    auto address = upstream::ParseAddress(url, error);
    EXPECT_TRUE(address) << error;
    return std::make_unique<RemoteSongs>(
        upstream::Client::Create(std::move(*address), timeout, {}, error), DbPath());
  }
  std::string DbPath() const { return (dir_ / "index.db").string(); }
  fs::path dir_;
};

struct AskCase {
  std::string_view name;
  std::string answer;
  int requests;  // for two finds of one song
};

void PrintTo(const AskCase& c, std::ostream* os) {
  *os << c.name;
}

class AskTest : public RemoteTest, public testing::WithParamInterface<AskCase> {};

TEST_P(AskTest, RemembersWhatTheUpstreamSaidNotHowItFailed) {
  Upstream upstream(Upstream::Answer(GetParam().answer));
  auto remote = Remote(upstream.url());
  const bool found = remote->Find(Named("Song")).has_value();
  EXPECT_EQ(remote->Find(Named("song ")).has_value(), found);
  EXPECT_EQ(upstream.requests(), GetParam().requests);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AskTest,
    testing::Values(AskCase{"not_found", fake::Response(404, "application/json", "{}"), 1},
                    AskCase{"server_error", fake::Response(500, "text/plain", "down"), 2},
                    AskCase{"junk", fake::Response(200, "application/json", "{"), 2}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(RemoteTest, OneSongAskedByManyAtOnceIsAskedOnce) {
  Upstream upstream([](int fd, const std::string&, const std::atomic<bool>&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fake::SendAll(fd, fake::Response(200, "application/json", kRecord));
  });
  auto remote = Remote(upstream.url());
  const std::vector<std::string> spellings = {"Song", "SONG", "  song"};
  std::vector<int> found(spellings.size(), 0);
  std::vector<std::thread> pages;
  pages.reserve(spellings.size());
  for (std::size_t i = 0; i < spellings.size(); ++i)
    pages.emplace_back([&, i] { found[i] = remote->Find(Named(spellings[i])) ? 1 : 0; });
  for (auto& page : pages) page.join();
  EXPECT_EQ(found, std::vector<int>(spellings.size(), 1));
  EXPECT_EQ(upstream.requests(), 1);
}

TEST_F(RemoteTest, PastTheCapAPageShowsItsMissWithoutAsking) {
  auto upstream = std::make_unique<Upstream>(Upstream::Hang);
  auto remote = Remote(upstream->url(), std::chrono::seconds(5));
  std::vector<std::thread> pages;
  pages.reserve(limits::kUpstreamFetches);
  for (int i = 0; i < limits::kUpstreamFetches; ++i)
    pages.emplace_back([&, i] { remote->Find(Named("Hanging " + std::to_string(i))); });
  const auto end = std::chrono::steady_clock::now() + fake::kHangGuard;
  while (upstream->requests() < limits::kUpstreamFetches && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(upstream->requests(), limits::kUpstreamFetches);
  EXPECT_FALSE(remote->Find(Named("One more")));
  EXPECT_EQ(remote->Asked(), static_cast<std::size_t>(limits::kUpstreamFetches));
  upstream.reset();  // the held connections close, and the fetches end
  for (auto& page : pages) page.join();
}

// The upstream's client without a network, for the cases that need many fetches or a fault no
// server can cause: each Get answers as the test says, counted from 1.
class StandIn : public upstream::Client {
 public:
  using Gives = std::function<upstream::Reply(const upstream::Query& query, int call)>;
  explicit StandIn(Gives gives) : gives_(std::move(gives)) {}
  upstream::Reply Get(const upstream::Query& query) const override {
    return gives_(query, ++calls_);
  }
  std::chrono::milliseconds timeout() const override { return std::chrono::seconds(2); }
  int calls() const { return calls_; }

 private:
  const Gives gives_;
  mutable std::atomic<int> calls_{0};
};

upstream::Reply Found(const upstream::Query& query, std::string lyrics) {
  Song song;
  song.title = query.track;
  song.artist = query.artist;
  song.lyrics = std::move(lyrics);
  return {.found = true, .failure = upstream::Failure::None, .song = std::move(song)};
}

TEST_F(RemoteTest, AFetchThatThrowsIsAMissAndHoldsNoPlace) {
  // As a client might at its system's thread limit or out of memory, as many times as pages may
  // wait at once: any place kept would leave none for the last.
  auto owned = std::make_unique<StandIn>([](const upstream::Query& query, int call) {
    if (call <= limits::kUpstreamWaiting)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return Found(query, "words");
  });
  const StandIn& client = *owned;
  RemoteSongs remote(std::move(owned), DbPath());
  for (int i = 0; i < limits::kUpstreamWaiting; ++i)
    EXPECT_FALSE(remote.Find(Named("Song " + std::to_string(i))));
  EXPECT_TRUE(remote.Find(Named("Song 0")));
  EXPECT_EQ(client.calls(), limits::kUpstreamWaiting + 1);
}

TEST_F(RemoteTest, AFetchedSongReachesTheIndexWithItsTiming) {
  Upstream upstream(Upstream::Answer(fake::Response(200, "application/json", kRecord)));
  Remote(upstream.url())->Find(Named("Song"));  // destroyed at once: what waits is written
  std::string error;
  const auto store = Store::Open(DbPath(), error);
  ASSERT_NE(store, nullptr) << error;
  const auto rows = store->FindExact(MatchKey("Song"), MatchKey("Band"), 5);
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_EQ(rows[0].path, Store::kUpstreamSource);
  EXPECT_EQ(rows[0].song.album, "Album");
  EXPECT_EQ(rows[0].song.durationMs, 200'000);
  EXPECT_EQ(store->SyncedLyrics(rows[0].id), "[00:01.00] words");
}

// The writer holds a song while the index keeps it waiting; meanwhile the song is pushed out of
// memory by others and fetched again. The first write, refused, must not take the second along.
TEST_F(RemoteTest, ASongFetchedAgainWhileItsFirstWriteWaitsIsKept) {
  int asked = 0;  // for "Song"; only the test's thread asks
  auto remote = std::make_unique<RemoteSongs>(
      std::make_unique<StandIn>([&](const upstream::Query& query, int) {
        if (query.track != "Song") return Found(query, "words");
        return Found(query, ++asked == 1 ? "first words" : "second words");
      }),
      DbPath());
  sqlite3* scanner = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &scanner), SQLITE_OK);
  // The lock makes the first write wait; the trigger, committed as the lock goes, refuses it.
  ASSERT_EQ(
      sqlite3_exec(scanner,
                   "BEGIN IMMEDIATE; CREATE TRIGGER refuse_first BEFORE INSERT ON songs "
                   "WHEN new.lyrics = 'first words' BEGIN SELECT RAISE(ABORT, 'refused'); END",
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  EXPECT_TRUE(remote->Find(Named("Song")));
  for (std::size_t i = 0; i < limits::kUpstreamUnwritten; ++i)
    EXPECT_TRUE(remote->Find(Named("Other" + std::to_string(i))));
  EXPECT_TRUE(remote->Find(Named("Song")));
  EXPECT_EQ(asked, 2) << "pushed out of memory, so asked again";
  EXPECT_EQ(sqlite3_exec(scanner, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(scanner);
  remote.reset();

  std::string error;
  const auto store = Store::Open(DbPath(), error);
  ASSERT_NE(store, nullptr) << error;
  const auto rows = store->FindExact(MatchKey("Song"), MatchKey("Band"), 5);
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_EQ(rows[0].song.lyrics, "second words");
}

}  // namespace
}  // namespace talvo
