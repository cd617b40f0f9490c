// Asking the upstream on the pages' behalf: how often it is asked, how many pages wait on it,
// and what reaches the index.
#include "sources/remote.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
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
  pages.reserve(RemoteSongs::kMaxFetches);
  for (int i = 0; i < RemoteSongs::kMaxFetches; ++i)
    pages.emplace_back([&, i] { remote->Find(Named("Hanging " + std::to_string(i))); });
  const auto end = std::chrono::steady_clock::now() + fake::kHangGuard;
  while (upstream->requests() < RemoteSongs::kMaxFetches && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(upstream->requests(), RemoteSongs::kMaxFetches);
  EXPECT_FALSE(remote->Find(Named("One more")));
  EXPECT_EQ(remote->Asked(), static_cast<std::size_t>(RemoteSongs::kMaxFetches));
  upstream.reset();  // the held connections close, and the fetches end
  for (auto& page : pages) page.join();
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

}  // namespace
}  // namespace talvo
