#include "service/lookup.h"

#include <algorithm>
#include <array>

#include "core/limits.h"
#include "text/lyrics.h"
#include "text/text.h"

namespace talvo {
namespace {

// Words that introduce a featured artist. "with", "&", "x" and "/" join artists too, but as
// often belong to one name ("Echo & the Bunnymen", "AC/DC"): left alone.
constexpr std::array<std::string_view, 5> kFeaturing = {"featuring", "feat.", "feat", "ft.", "ft"};

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsOpening(char c) {
  return c == '(' || c == '[';
}

std::string_view TrimEnd(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || IsOpening(text.back()))) text.remove_suffix(1);
  return text;
}

// The name before a featured artist ("A feat. B", "Title (ft. B) [Live]"): a marker as a whole
// word after a space or an opening bracket, with a name before it. The name itself when none.
std::string_view WithoutFeaturing(std::string_view name) {
  for (std::size_t at = 1; at < name.size(); ++at) {
    if (name[at - 1] != ' ' && !IsOpening(name[at - 1])) continue;
    for (const std::string_view marker : kFeaturing) {
      const std::size_t end = at + marker.size();
      if (end > name.size() || (end < name.size() && name[end] != ' ')) continue;
      if (std::equal(marker.begin(), marker.end(), name.begin() + static_cast<std::ptrdiff_t>(at),
                     [](char m, char c) { return m == AsciiLower(c); }))
        return TrimEnd(name.substr(0, at));
    }
  }
  return name;
}

// The title without the bracketed groups that end it ("Song (Live) [2009]": "Song"); a cut
// title also without the group its cut left open ("Song (Virtual Ri").
std::string_view WithoutTrailingGroups(std::string_view title, bool cut) {
  if (cut) {
    std::size_t open = std::string_view::npos;
    int depth = 0;
    for (std::size_t i = 0; i < title.size(); ++i) {
      if (IsOpening(title[i]) && depth++ == 0) open = i;
      if ((title[i] == ')' || title[i] == ']') && depth > 0) --depth;
    }
    if (depth > 0) title = TrimEnd(title.substr(0, open));
  }
  title = TrimEnd(title);
  while (!title.empty() && (title.back() == ')' || title.back() == ']')) {
    std::size_t at = title.size();
    int depth = 0;
    do {
      --at;
      if (title[at] == ')' || title[at] == ']') ++depth;
      if (IsOpening(title[at])) --depth;
    } while (at > 0 && depth > 0);
    if (depth > 0) break;
    title = TrimEnd(title.substr(0, at));
  }
  return title;
}

void AddCandidates(LookupResult& result, const std::vector<SongRow>& rows) {
  for (const auto& row : rows) {
    if (static_cast<int>(result.candidates.size()) >= limits::kCandidates) return;
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

// FindSameSong's rungs for keys already made, appended to rows up to limit; the exact names'
// only when withExact.
void AddSameSong(Store& store, const SongQuery& query, const std::string& titleKey,
                 const std::string& artistKey, bool withExact, int limit,
                 std::vector<SongRow>& rows) {
  using Part = Store::KeyPart;
  struct Names {
    const std::string* title;
    const std::string* artist;
    Part titlePart;
    Part artistPart;
    bool operator==(const Names& other) const {
      return *title == *other.title && *artist == *other.artist && titlePart == other.titlePart &&
             artistPart == other.artistPart;
    }
  };
  // A form is a prefix of its name; one that strips nothing needs no key of its own.
  std::string formKeys[3];
  const auto formKey = [&formKeys](std::size_t slot, std::string_view form, std::string_view name,
                                   const std::string& key) -> const std::string* {
    if (form.size() == name.size()) return &key;
    formKeys[slot] = MatchKey(form);
    return &formKeys[slot];
  };
  const auto cutPart = [](bool cut) { return cut ? Part::Start : Part::Whole; };
  const Part titlePart = cutPart(query.titleCut);
  const Part artistPart = cutPart(query.artistCut);
  // A form without what follows the name is whole: the cut, if any, fell in what went.
  const std::string_view titleSolo = WithoutFeaturing(query.title);
  const std::string_view titleBare = WithoutTrailingGroups(titleSolo, query.titleCut);
  const std::string_view artistSolo = WithoutFeaturing(query.artist);
  // Most names are whole and plain: nothing beyond the exact names to try.
  if (!withExact && !query.titleCut && !query.artistCut && titleBare.size() == query.title.size() &&
      artistSolo.size() == query.artist.size())
    return;
  const std::string* titleSoloKey = formKey(0, titleSolo, query.title, titleKey);
  const std::string* titleBareKey = formKey(1, titleBare, query.title, titleKey);
  const std::string* artistSoloKey = formKey(2, artistSolo, query.artist, artistKey);
  const Names tries[] = {
      {&titleKey, &artistKey, Part::Whole, Part::Whole},
      {&titleKey, &artistKey, titlePart, artistPart},
      {titleSoloKey, &artistKey, Part::Whole, artistPart},
      {titleBareKey, &artistKey, Part::Whole, artistPart},
      {&titleKey, artistSoloKey, titlePart, Part::Whole},
      {titleSoloKey, artistSoloKey, Part::Whole, Part::Whole},
      {titleBareKey, artistSoloKey, Part::Whole, Part::Whole},
  };
  for (std::size_t i = withExact ? 0 : 1; i < std::size(tries); ++i) {
    const Names& names = tries[i];
    // An empty start would be every name, and a form that strips nothing was tried already.
    if (names.title->empty() || names.artist->empty() ||
        std::find(tries, tries + i, names) != tries + i)
      continue;
    for (auto& row :
         store.FindKeys(*names.title, names.titlePart, *names.artist, names.artistPart, limit)) {
      if (static_cast<int>(rows.size()) >= limit) return;
      const auto same = [&](const SongRow& other) { return other.id == row.id; };
      if (std::none_of(rows.begin(), rows.end(), same)) rows.push_back(std::move(row));
    }
  }
}

}  // namespace

std::vector<SongRow> FindSameSong(Store& store, const SongQuery& query, int limit) {
  std::vector<SongRow> rows;
  AddSameSong(store, query, MatchKey(query.title), MatchKey(query.artist), true, limit, rows);
  return rows;
}

LookupResult FindSong(Store& store, const SongQuery& query) {
  LookupResult result;
  SongQuery names = query;
  if (query.artist.empty()) {
    // The plugin had no tag and sent the player's caption. A tag's title without an artist comes
    // the same way; if cut, its cut is at the caption's end, in the title.
    const auto caption = DropPlaylistNumber(query.title);
    if (!SplitArtistTitle(caption, names.artist, names.title)) names.title = caption;
    names.artistCut = false;
  }
  result.title = names.title;
  result.artist = names.artist;
  const auto titleKey = MatchKey(names.title);
  const auto artistKey = MatchKey(names.artist);

  // The same song, else the title by anyone (a cut one completed); the title's other versions
  // and the artist's other songs are the suggestions. The title's versions, the artist's first,
  // are read once: they give FindSameSong's exact names too. A ranked search costs a hundred
  // lookups on a large library; it is for when nothing matched.
  std::vector<SongRow> rows;
  auto versions = titleKey.empty() ? std::vector<SongRow>()
                                   : store.FindTitle(titleKey, limits::kCandidates + 1, artistKey);
  const bool exact = !versions.empty() && !artistKey.empty() &&
                     MatchKey(versions.front().song.artist) == artistKey;
  if (!exact) AddSameSong(store, names, titleKey, artistKey, false, limits::kCandidates + 1, rows);
  if (rows.empty() && versions.empty() && names.titleCut) {
    const std::string anyone;
    versions = store.FindKeys(titleKey, Store::KeyPart::Start, anyone, Store::KeyPart::Start,
                              limits::kCandidates + 1);
  }
  rows.insert(rows.end(), std::make_move_iterator(versions.begin()),
              std::make_move_iterator(versions.end()));
  if (!rows.empty()) {
    result.best = rows.front();
    AddCandidates(result, rows);
    AddCandidates(result, store.FindArtist(exact ? artistKey : MatchKey(result.best->song.artist),
                                           limits::kCandidates + 1));
    return result;
  }

  rows = store.Search(result.title + " " + result.artist, limits::kCandidates + 1,
                      Store::Words::AllWhole);
  if (rows.empty() && !artistKey.empty())
    rows = store.Search(result.title, limits::kCandidates + 1, Store::Words::AllWhole);
  if (!rows.empty()) {
    result.best = rows.front();
    AddCandidates(result, rows);
    return result;
  }
  // Names only: a word shared with the lyrics of thousands of songs ranks them all and says
  // nothing about which song was meant. A known artist's own songs come from the index instead of
  // ranking every song that shares a word of the artist's name.
  const auto artistSongs = artistKey.empty() ? std::vector<SongRow>()
                                             : store.FindArtist(artistKey, limits::kCandidates + 1);
  rows = store.Search(artistSongs.empty() ? result.title + " " + result.artist : result.title,
                      limits::kCandidates + 1, Store::Words::Any, Store::Within::Names);
  rows.insert(rows.end(), artistSongs.begin(), artistSongs.end());
  const auto near = std::find_if(rows.begin(), rows.end(), [&](const SongRow& row) {
    return IsNearMiss(titleKey, MatchKey(row.song.title));
  });
  // An artist's list holds names only: the song itself is read again.
  if (near != rows.end()) result.best = store.SongById(near->id);
  AddCandidates(result, rows);
  return result;
}

}  // namespace talvo
