#include "api/lrclib.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "api/json.h"

namespace talvo::lrclib {
namespace {

// What the status table over HTTP leaves out: the edges of the duration's form and range.
TEST(ParseTrackQuery, DurationIsPlainSecondsFromOneToAnHour) {
  const struct {
    std::string duration;
    std::optional<std::int64_t> ms;  // nothing: refused
  } cases[] = {
      {"1", 1000},
      {"3600", 3'600'000},
      {"3600.000", 3'600'000},
      {"3600.001", std::nullopt},
      {"0.999", std::nullopt},
      {"215.25", 215'250},
      {"215.2509", 215'250},  // past milliseconds nothing counts
      {"00000000000000000000215", 215'000},
      {"99999999999999999999", std::nullopt},
      {"1.", std::nullopt},
      {".5", std::nullopt},
      {"+5", std::nullopt},
      {"-5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"0x10", std::nullopt},
      {"1,5", std::nullopt},
      {"inf", std::nullopt},
  };
  for (const auto& c : cases) {
    const QueryFields fields{{"track_name", "T"}, {"artist_name", "A"}, {"duration", c.duration}};
    std::string problem;
    const auto query = ParseTrackQuery(fields, problem);
    EXPECT_EQ(query ? query->durationMs : std::nullopt, c.ms) << c.duration;
    EXPECT_EQ(problem.empty(), c.ms.has_value()) << c.duration;
  }
}

TEST(JsonRecord, DurationInSecondsAndAbsentTextAsNull) {
  SongRow row;
  row.id = 7;
  row.song.title = "Tab\there \"quoted\"";
  row.song.durationMs = 215'250;
  row.song.instrumental = true;
  EXPECT_EQ(talvo::json::Record(row),
            R"({"id":7,"name":"Tab\u0009here \"quoted\"","trackName":"Tab\u0009here \"quoted\"",)"
            R"("artistName":"","albumName":"","duration":215.25,"instrumental":true,)"
            R"("plainLyrics":null,"syncedLyrics":null})");
  row.song.durationMs = 3'000;
  EXPECT_NE(talvo::json::Record(row).find(R"("duration":3,)"), std::string::npos);
}

}  // namespace
}  // namespace talvo::lrclib
