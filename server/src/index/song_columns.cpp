#include "index/song_columns.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace talvo::song_columns {
namespace {

struct Column {
  std::string_view name;
  bool light;  // read by pages; the columns a light read leaves out come last
  void (*bind)(sql::Run& run, int parameter, const Song& song);
  void (*read)(const sql::Run& run, int column, Song& song);
};

constexpr std::array kColumns{
    Column{"title", true, [](sql::Run& r, int p, const Song& s) { r.Bind(p, s.title); },
           [](const sql::Run& r, int c, Song& s) { s.title = r.Text(c); }},
    Column{"artist", true, [](sql::Run& r, int p, const Song& s) { r.Bind(p, s.artist); },
           [](const sql::Run& r, int c, Song& s) { s.artist = r.Text(c); }},
    Column{"album", true, [](sql::Run& r, int p, const Song& s) { r.Bind(p, s.album); },
           [](const sql::Run& r, int c, Song& s) { s.album = r.Text(c); }},
    Column{"lyrics", true, [](sql::Run& r, int p, const Song& s) { r.Bind(p, s.lyrics); },
           [](const sql::Run& r, int c, Song& s) { s.lyrics = r.Text(c); }},
    Column{"duration_ms", true, [](sql::Run& r, int p, const Song& s) { r.Bind(p, s.durationMs); },
           [](const sql::Run& r, int c, Song& s) { s.durationMs = r.Int(c); }},
    Column{"instrumental", true,
           [](sql::Run& r, int p, const Song& s) { r.Bind(p, std::int64_t{s.instrumental}); },
           [](const sql::Run& r, int c, Song& s) { s.instrumental = r.Int(c) != 0; }},
    Column{"synced", false, [](sql::Run& r, int p, const Song& s) { r.Bind(p, s.synced); },
           [](const sql::Run& r, int c, Song& s) { s.synced = r.Text(c); }},
};
static_assert(std::is_partitioned(kColumns.begin(), kColumns.end(),
                                  [](const Column& column) { return column.light; }),
              "a light read takes a prefix of the columns");

std::size_t Count(Read read) {
  if (read == Read::Whole) return kColumns.size();
  return static_cast<std::size_t>(std::count_if(kColumns.begin(), kColumns.end(),
                                                [](const Column& column) { return column.light; }));
}

}  // namespace

std::string Names(std::string_view prefix, Read read) {
  std::string names;
  for (std::size_t i = 0; i < Count(read); ++i) {
    if (i > 0) names += ", ";
    names += prefix;
    names += kColumns[i].name;
  }
  return names;
}

std::string Parameters(int first) {
  std::string parameters;
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (i > 0) parameters += ", ";
    parameters += '?' + std::to_string(first + static_cast<int>(i));
  }
  return parameters;
}

int LyricsParameter(int first) {
  const auto* const lyrics =
      std::find_if(kColumns.begin(), kColumns.end(),
                   [](const Column& column) { return column.name == "lyrics"; });
  return first + static_cast<int>(lyrics - kColumns.begin());
}

void Bind(sql::Run& run, int first, const Song& song) {
  for (std::size_t i = 0; i < kColumns.size(); ++i)
    kColumns[i].bind(run, first + static_cast<int>(i), song);
}

void ReadInto(const sql::Run& run, int first, Read read, Song& song) {
  for (std::size_t i = 0; i < Count(read); ++i)
    kColumns[i].read(run, first + static_cast<int>(i), song);
}

}  // namespace talvo::song_columns
