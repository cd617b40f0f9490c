#include "api/lrclib.h"

#include <algorithm>

namespace talvo::lrclib {
namespace {

constexpr std::int64_t kShortestMs = 1000;
constexpr std::int64_t kLongestMs = 3'600'000;
// Digits past these add nothing to a duration of at most an hour in milliseconds.
constexpr std::size_t kMaxWholeDigits = 8;
constexpr std::size_t kMaxFractionDigits = 64;

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

// Seconds as LRCLIB clients write them, "233" or "233.5", in milliseconds; nothing for anything
// else, including the forms a float parser would take ("1e3", "inf", " 5", "+5").
std::optional<std::int64_t> ParseSeconds(std::string_view text) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto digits = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || !digits(whole) || !digits(fraction) ||
      (point != std::string_view::npos && fraction.empty()))
    return std::nullopt;
  const std::string_view significant =
      whole.substr(std::min(whole.find_first_not_of('0'), whole.size()));
  if (significant.size() > kMaxWholeDigits || fraction.size() > kMaxFractionDigits)
    return std::nullopt;
  std::int64_t ms = 0;
  for (const char c : significant) ms = ms * 10 + (c - '0');
  ms *= 1000;
  std::int64_t scale = 100;
  for (std::size_t i = 0; i < fraction.size() && scale > 0; ++i, scale /= 10)
    ms += (fraction[i] - '0') * scale;
  return ms;
}

}  // namespace

std::optional<TrackQuery> ParseTrackQuery(const QueryFields& fields, std::string& problem) {
  TrackQuery query{.track = std::string(FieldValue(fields, "track_name")),
                   .artist = std::string(FieldValue(fields, "artist_name")),
                   .album = std::string(FieldValue(fields, "album_name")),
                   .durationMs = std::nullopt};
  if (IsBlank(query.track)) {
    problem = "track_name is required";
    return std::nullopt;
  }
  if (IsBlank(query.artist)) {
    problem = "artist_name is required";
    return std::nullopt;
  }
  const auto found = std::find_if(fields.begin(), fields.end(),
                                  [](const auto& field) { return field.first == "duration"; });
  if (found != fields.end()) {
    query.durationMs = ParseSeconds(found->second);
    if (!query.durationMs || *query.durationMs < kShortestMs || *query.durationMs > kLongestMs) {
      problem = "duration must be a number of seconds from 1 to 3600";
      return std::nullopt;
    }
  }
  return query;
}

TrackSearch ParseTrackSearch(const QueryFields& fields) {
  const auto unlessBlank = [&](std::string_view key) {
    const auto value = FieldValue(fields, key);
    return IsBlank(value) ? std::string() : std::string(value);
  };
  return {.text = unlessBlank("q"),
          .track = unlessBlank("track_name"),
          .artist = std::string(FieldValue(fields, "artist_name")),
          .album = std::string(FieldValue(fields, "album_name"))};
}

}  // namespace talvo::lrclib
