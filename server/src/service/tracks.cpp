#include "service/tracks.h"

#include <algorithm>
#include <utility>

#include "core/limits.h"
#include "service/lookup.h"
#include "text/text.h"

namespace talvo {
namespace {

bool AlbumAgrees(const Song& song, const std::string& albumKey) {
  if (albumKey.empty() || song.album.empty()) return true;
  return MatchKey(song.album) == albumKey;
}

bool DurationAgrees(const Song& song, std::optional<std::int64_t> durationMs) {
  if (!durationMs || song.durationMs <= 0) return true;
  const std::int64_t gap = song.durationMs - *durationMs;
  return gap <= kDurationSlackMs && -gap <= kDurationSlackMs;
}

void AddUnique(std::vector<SongRow>& rows, std::vector<SongRow> more, int limit) {
  for (auto& row : more) {
    if (static_cast<int>(rows.size()) >= limit) return;
    const auto same = [&](const SongRow& other) { return other.id == row.id; };
    if (std::none_of(rows.begin(), rows.end(), same)) rows.push_back(std::move(row));
  }
}

}  // namespace

std::vector<SongRow> WithTiming(Store& store, std::vector<SongRow> rows) {
  for (auto& row : rows) row.song.synced = store.SyncedLyrics(row.id);
  return rows;
}

std::optional<SongRow> FindTrack(Store& store, const TrackQuery& query) {
  const std::string albumKey = MatchKey(query.album);
  auto versions =
      FindSameSong(store, {.title = query.track, .artist = query.artist}, limits::kVersions);
  std::erase_if(versions, [&](const SongRow& row) {
    return !AlbumAgrees(row.song, albumKey) || !DurationAgrees(row.song, query.durationMs);
  });
  if (versions.empty()) return std::nullopt;
  versions = WithTiming(store, std::move(versions));
  const auto keys = [](const SongRow& row) {
    return std::pair(MatchKey(row.song.title), MatchKey(row.song.artist));
  };
  const auto closest = keys(versions.front());
  // Where the song came from outweighs the rest: an album or timing never puts a dump's version
  // before the library's own.
  const auto score = [&](const SongRow& row) {
    return (row.source == Source::Library ? 4 : 0) +
           (!albumKey.empty() && !row.song.album.empty() ? 2 : 0) +
           (row.song.synced.empty() ? 0 : 1);
  };
  auto best = versions.begin();
  for (auto row = versions.begin(); row != versions.end(); ++row) {
    if (score(*row) > score(*best) && keys(*row) == closest) best = row;
  }
  return std::move(*best);
}

std::vector<SongRow> FindTracks(Store& store, const TrackSearch& search, int limit) {
  std::vector<SongRow> rows;
  if (!search.text.empty()) {
    AddUnique(rows, store.FindTitle(MatchKey(search.text), limit), limit);
    AddUnique(rows, store.Search(search.text, limit), limit);
    return WithTiming(store, std::move(rows));
  }
  if (search.track.empty()) return rows;
  const std::string artistKey = MatchKey(search.artist);
  const std::string albumKey = MatchKey(search.album);
  auto exact = store.FindTitle(MatchKey(search.track), limit, artistKey);
  if (!artistKey.empty()) {
    std::erase_if(exact,
                  [&](const SongRow& row) { return MatchKey(row.song.artist) != artistKey; });
  }
  AddUnique(rows, std::move(exact), limit);
  AddUnique(rows,
            store.Search(search.track + " " + search.artist, limit, Store::Words::AllWhole,
                         Store::Within::Names),
            limit);
  std::erase_if(rows, [&](const SongRow& row) { return !AlbumAgrees(row.song, albumKey); });
  return WithTiming(store, std::move(rows));
}

}  // namespace talvo
