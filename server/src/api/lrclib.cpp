#include "api/lrclib.h"

#include <algorithm>
#include <utility>

#include "api/pages.h"
#include "service/lookup.h"
#include "text/text.h"

namespace talvo::lrclib {
namespace {

// Versions of one title by one artist worth weighing; a library holds a handful at most.
constexpr int kVersions = 20;
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

bool AlbumAgrees(const Song& song, const std::string& albumKey) {
  if (albumKey.empty() || song.album.empty()) return true;
  return MatchKey(song.album) == albumKey;
}

bool DurationAgrees(const Song& song, std::optional<std::int64_t> durationMs) {
  if (!durationMs || song.durationMs <= 0) return true;
  const std::int64_t gap = song.durationMs - *durationMs;
  return gap <= kDurationSlackMs && -gap <= kDurationSlackMs;
}

// Text that may be absent: null rather than "".
void AppendNullable(std::string& json, std::string_view name, std::string_view value) {
  if (!value.empty()) return AppendJsonField(json, name, value);
  json += '"';
  json += name;
  json += "\":null";
}

// Seconds with the milliseconds the index keeps, no trailing zeros: 215, 215.25.
std::string Seconds(std::int64_t ms) {
  ms = std::max<std::int64_t>(ms, 0);
  std::string text = std::to_string(ms / 1000);
  if (const std::int64_t rest = ms % 1000; rest != 0) {
    std::string fraction = std::to_string(1000 + rest).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text += '.' + fraction;
  }
  return text;
}

void AddUnique(std::vector<SongRow>& rows, std::vector<SongRow> more) {
  for (auto& row : more) {
    if (static_cast<int>(rows.size()) >= kSearchResults) return;
    const auto same = [&](const SongRow& other) { return other.id == row.id; };
    if (std::none_of(rows.begin(), rows.end(), same)) rows.push_back(std::move(row));
  }
}

// The index reads rows without their timing; a record shows it.
std::vector<SongRow> WithTiming(Store& store, std::vector<SongRow> rows) {
  for (auto& row : rows) row.song.synced = store.SyncedLyrics(row.id);
  return rows;
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

std::optional<SongRow> GetTrack(Store& store, const TrackQuery& query) {
  const std::string albumKey = MatchKey(query.album);
  auto versions = FindSameSong(store, {.title = query.track, .artist = query.artist}, kVersions);
  std::erase_if(versions, [&](const SongRow& row) {
    return !AlbumAgrees(row.song, albumKey) || !DurationAgrees(row.song, query.durationMs);
  });
  if (versions.empty()) return std::nullopt;
  versions = WithTiming(store, std::move(versions));
  // The closest form of the names that answers wins; among its versions, the asked album, then
  // timing, is preferred.
  const auto keys = [](const SongRow& row) {
    return std::pair(MatchKey(row.song.title), MatchKey(row.song.artist));
  };
  const auto closest = keys(versions.front());
  const auto score = [&](const SongRow& row) {
    return (!albumKey.empty() && !row.song.album.empty() ? 2 : 0) +
           (row.song.synced.empty() ? 0 : 1);
  };
  auto best = versions.begin();
  for (auto row = versions.begin(); row != versions.end(); ++row) {
    if (score(*row) > score(*best) && keys(*row) == closest) best = row;
  }
  return std::move(*best);
}

std::optional<SongRow> GetById(Store& store, std::int64_t id) {
  auto row = store.SongById(id);
  if (row) row->song.synced = store.SyncedLyrics(id);
  return row;
}

std::vector<SongRow> SearchTracks(Store& store, const QueryFields& fields) {
  const std::string q(FieldValue(fields, "q"));
  const std::string track(FieldValue(fields, "track_name"));
  std::vector<SongRow> rows;
  if (!IsBlank(q)) {
    AddUnique(rows, store.FindTitle(MatchKey(q), kSearchResults));
    AddUnique(rows, store.Search(q, kSearchResults));
    return WithTiming(store, std::move(rows));
  }
  if (IsBlank(track)) return rows;
  const std::string artist(FieldValue(fields, "artist_name"));
  const std::string artistKey = MatchKey(artist);
  const std::string albumKey = MatchKey(FieldValue(fields, "album_name"));
  auto exact = store.FindTitle(MatchKey(track), kSearchResults, artistKey);
  if (!artistKey.empty()) {
    std::erase_if(exact,
                  [&](const SongRow& row) { return MatchKey(row.song.artist) != artistKey; });
  }
  AddUnique(rows, std::move(exact));
  AddUnique(rows, store.Search(track + " " + artist, kSearchResults, Store::Words::AllWhole,
                               Store::Within::Names));
  std::erase_if(rows, [&](const SongRow& row) { return !AlbumAgrees(row.song, albumKey); });
  return WithTiming(store, std::move(rows));
}

std::string RecordJson(const SongRow& row) {
  const Song& song = row.song;
  std::string json = "{\"id\":" + std::to_string(row.id) + ',';
  AppendJsonField(json, "name", song.title);
  json += ',';
  AppendJsonField(json, "trackName", song.title);
  json += ',';
  AppendJsonField(json, "artistName", song.artist);
  json += ',';
  AppendJsonField(json, "albumName", song.album);
  json += ",\"duration\":" + Seconds(song.durationMs);
  json += song.instrumental ? ",\"instrumental\":true," : ",\"instrumental\":false,";
  AppendNullable(json, "plainLyrics", song.lyrics);
  json += ',';
  AppendNullable(json, "syncedLyrics", song.synced);
  json += '}';
  return json;
}

std::string RecordsJson(const std::vector<SongRow>& rows) {
  std::string json = "[";
  for (const auto& row : rows) {
    if (json.size() > 1) json += ',';
    json += RecordJson(row);
  }
  return json + "]";
}

std::string ErrorJson(int status, std::string_view name, std::string_view message) {
  const std::string code = std::to_string(status);
  std::string json = "{\"code\":" + code + ',';
  AppendJsonField(json, "name", name);
  json += ',';
  AppendJsonField(json, "message", message);
  return json + ",\"statusCode\":" + code + '}';
}

}  // namespace talvo::lrclib
