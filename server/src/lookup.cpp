#include "lookup.h"

#include <algorithm>

#include "text.h"

namespace talvo {
namespace {

constexpr int kCandidates = 8;

void AddCandidates(LookupResult& result, const std::vector<SongRow>& rows) {
  for (const auto& row : rows) {
    if (static_cast<int>(result.candidates.size()) >= kCandidates) return;
    const auto same = [&](const SongRow& other) { return other.id == row.id; };
    if ((result.best && result.best->id == row.id) ||
        std::any_of(result.candidates.begin(), result.candidates.end(), same))
      continue;
    result.candidates.push_back(row);
  }
}

// Edits between two keys in bytes, a swap of two neighbours counting as one (the commonest
// typo); enough for the short keys of titles.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  const std::size_t width = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * width);
  const auto at = [&](std::size_t i, std::size_t j) -> std::size_t& { return d[i * width + j]; };
  for (std::size_t i = 0; i <= a.size(); ++i) at(i, 0) = i;
  for (std::size_t j = 0; j <= b.size(); ++j) at(0, j) = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      at(i, j) = std::min({at(i - 1, j) + 1, at(i, j - 1) + 1, at(i - 1, j - 1) + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        at(i, j) = std::min(at(i, j), at(i - 2, j - 2) + 1);
    }
  }
  return at(a.size(), b.size());
}

// A song that shares only some of the words searched for is still the one meant when its title
// is the wanted one with words added after it ("(Live)", "Remastered 2009") or off by a typo.
bool IsNearMiss(std::string_view wanted, std::string_view found) {
  constexpr std::size_t kLongestCompared = 128;
  if (wanted.empty() || found.empty()) return false;
  if (wanted.starts_with(found) && wanted.size() > found.size() && wanted[found.size()] == ' ')
    return true;
  if (wanted.size() > kLongestCompared || found.size() > kLongestCompared) return false;
  return EditDistance(wanted, found) <= std::max<std::size_t>(1, wanted.size() / 6);
}

}  // namespace

void FindSong(Store& store, LookupResult& result) {
  const auto titleKey = MatchKey(result.title);
  const auto artistKey = MatchKey(result.artist);
  std::vector<SongRow> rows;
  if (!titleKey.empty()) {
    // The artist's own song when there is one, else the title by anyone.
    rows = store.FindTitle(titleKey, kCandidates + 1, artistKey);
    if (!rows.empty()) result.best = rows.front();
    AddCandidates(result, rows);
  }
  // Found: the other versions of the title and the artist's other songs are the suggestions. A
  // ranked search costs a hundred lookups on a large library; it is for when nothing matched.
  if (result.best) {
    AddCandidates(result, store.FindArtist(MatchKey(result.best->song.artist), kCandidates + 1));
    return;
  }

  rows = store.Search(result.title + " " + result.artist, kCandidates + 1, Store::Words::AllWhole);
  if (rows.empty() && !artistKey.empty())
    rows = store.Search(result.title, kCandidates + 1, Store::Words::AllWhole);
  if (!rows.empty()) {
    result.best = rows.front();
    AddCandidates(result, rows);
    return;
  }
  // Names only: a word shared with the lyrics of thousands of songs ranks them all and says
  // nothing about which song was meant. A known artist's own songs come from the index instead of
  // ranking every song that shares a word of the artist's name.
  const auto artistSongs =
      artistKey.empty() ? std::vector<SongRow>() : store.FindArtist(artistKey, kCandidates + 1);
  rows = store.Search(artistSongs.empty() ? result.title + " " + result.artist : result.title,
                      kCandidates + 1, Store::Words::Any, Store::Within::Names);
  rows.insert(rows.end(), artistSongs.begin(), artistSongs.end());
  const auto near = std::find_if(rows.begin(), rows.end(), [&](const SongRow& row) {
    return IsNearMiss(titleKey, MatchKey(row.song.title));
  });
  // An artist's list holds names only: the song itself is read again.
  if (near != rows.end()) result.best = store.SongById(near->id);
  AddCandidates(result, rows);
}

}  // namespace talvo
