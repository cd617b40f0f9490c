#include "service/recent.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "temp_dir.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

// Long enough that only the end writes anything.
constexpr std::chrono::milliseconds kNever = std::chrono::hours(1);

class RecentTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto made = MakeTempDir("talvo-recent");
    ASSERT_TRUE(made.has_value());
    dir_ = *made;
    std::string error;
    // The scanner's connection, as at start: it makes the schema.
    index_ = Store::Open(DbPath(), error);
    ASSERT_NE(index_, nullptr) << error;
  }
  void TearDown() override {
    index_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string DbPath() const { return (dir_ / "index.db").string(); }

  std::vector<std::string> Written() const {
    std::vector<std::string> titles;
    for (const Visit& lookup : index_->RecentLookups(limits::kKeptLookups * 2))
      titles.push_back(lookup.title);
    return titles;
  }

  fs::path dir_;
  std::unique_ptr<Store> index_;
};

Visit Looked(std::string title, std::string artist = "") {
  return {.at = 1, .title = std::move(title), .artist = std::move(artist), .songId = {}};
}

std::vector<std::string> Titles(const std::vector<Visit>& lookups) {
  std::vector<std::string> titles;
  titles.reserve(lookups.size());
  for (const Visit& lookup : lookups) titles.push_back(lookup.title + "/" + lookup.artist);
  return titles;
}

struct OrderCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> looked;  // title, artist; oldest first
  int limit;
  std::vector<std::string> latest;  // "title/artist", newest first
};

void PrintTo(const OrderCase& row, std::ostream* os) {
  *os << row.name;
}

class RecentOrder : public RecentTest, public testing::WithParamInterface<OrderCase> {};

TEST_P(RecentOrder, NewestFirstEachTitleAndArtistOnce) {
  RecentLookups recent(DbPath(), kNever);
  for (const auto& [title, artist] : GetParam().looked) recent.Record(Looked(title, artist));
  EXPECT_EQ(Titles(recent.Latest(GetParam().limit)), GetParam().latest);
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, RecentOrder,
    testing::Values(
        OrderCase{"NewestFirst", {{"a", ""}, {"b", ""}, {"c", "x"}}, 10, {"c/x", "b/", "a/"}},
        OrderCase{"AgainMovesToTheTop", {{"a", "x"}, {"b", ""}, {"a", "x"}}, 10, {"a/x", "b/"}},
        OrderCase{"AnotherArtistIsAnotherLookup", {{"a", "x"}, {"a", "y"}}, 10, {"a/y", "a/x"}},
        // As the index tells them apart: by their bytes.
        OrderCase{"LetterCaseCounts", {{"a", "x"}, {"A", "x"}}, 10, {"A/x", "a/x"}},
        OrderCase{"Limited", {{"a", ""}, {"b", ""}, {"c", ""}}, 2, {"c/", "b/"}},
        OrderCase{"NoneAsked", {{"a", ""}}, 0, {}}, OrderCase{"NoneYet", {}, 10, {}}),
    [](const testing::TestParamInfo<OrderCase>& row) { return std::string(row.param.name); });

class RecentKept : public RecentTest, public testing::WithParamInterface<int> {};

TEST_P(RecentKept, TheLatestKeptLookups) {
  RecentLookups recent(DbPath(), kNever);
  for (int i = 0; i < GetParam(); ++i) recent.Record(Looked("t" + std::to_string(i)));
  const auto latest = recent.Latest(limits::kKeptLookups * 2);
  ASSERT_EQ(latest.size(), static_cast<std::size_t>(limits::kKeptLookups));
  EXPECT_EQ(latest.front().title, "t" + std::to_string(GetParam() - 1));
  EXPECT_EQ(latest.back().title, "t" + std::to_string(GetParam() - limits::kKeptLookups));
}

INSTANTIATE_TEST_SUITE_P(AtAndOverTheLimit, RecentKept,
                         testing::Values(limits::kKeptLookups, limits::kKeptLookups + 1));

TEST_F(RecentTest, WrittenAtTheEndAndReadAgainAtStart) {
  {
    RecentLookups recent(DbPath(), kNever);
    recent.Record(Looked("a"));
    recent.Record(Looked("b"));
    recent.Record(Looked("a"));
    EXPECT_TRUE(Written().empty());  // the interval is far off
  }
  EXPECT_EQ(Written(), (std::vector<std::string>{"a", "b"}));
  RecentLookups again(DbPath(), kNever);
  EXPECT_EQ(Titles(again.Latest(10)), (std::vector<std::string>{"a/", "b/"}));
  EXPECT_EQ(again.Dropped(), 0U);
}

TEST_F(RecentTest, WrittenEveryIntervalWhileRunning) {
  RecentLookups recent(DbPath(), std::chrono::milliseconds(20));
  for (int i = 0; i < 3; ++i) recent.Record(Looked("t" + std::to_string(i)));
  // Only to see a hang: the lookups are written as soon as the writer wakes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Written().size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(Written(), (std::vector<std::string>{"t2", "t1", "t0"}));
}

TEST_F(RecentTest, WhileTheIndexIsLockedTheOldestUnwrittenAreDropped) {
  auto recent = std::make_unique<RecentLookups>(DbPath(), kNever);
  constexpr std::size_t kLooked = 3 * limits::kRecentUnwritten;
  {
    // A rescan holds the write lock for as long as these lookups take.
    sqlite3* scanner = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &scanner), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(scanner, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (std::size_t i = 0; i < kLooked; ++i) recent->Record(Looked("t" + std::to_string(i)));
    EXPECT_EQ(recent->Latest(1).at(0).title, "t" + std::to_string(kLooked - 1));
    EXPECT_GT(recent->Dropped(), 0U);
    sqlite3_exec(scanner, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(scanner);
  }
  std::vector<std::string> newest;
  for (const Visit& lookup : recent->Latest(limits::kKeptLookups)) newest.push_back(lookup.title);
  // What waits is written at the end, so at least that much is never dropped.
  EXPECT_LE(recent->Dropped(), kLooked - limits::kRecentUnwritten);
  recent.reset();
  EXPECT_EQ(Written(), newest);
}

}  // namespace
}  // namespace talvo
