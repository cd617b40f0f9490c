#include "sources/upstream_record.h"

#include <boost/json.hpp>
#include <cmath>
#include <string>

// Boost.JSON compiled into this file: the headers are all Debian's Boost ships without a library.
#include <boost/json/src.hpp>

namespace talvo::upstream {
namespace {

namespace json = boost::json;

// No recording lasts a day; a longer duration is not one.
constexpr double kLongestSeconds = 24.0 * 3600;

// The text of a field that must be a string, or may be null (or missing) when nullable.
bool ReadText(const json::object& record, std::string_view name, bool nullable, std::string& out) {
  const auto* field = record.if_contains(name);
  if (field == nullptr || field->is_null()) return nullable;
  const auto* text = field->if_string();
  if (text == nullptr) return false;
  out.assign(text->data(), text->size());
  return true;
}

std::optional<Song> RecordFromJson(const json::value& value) {
  const auto* record = value.if_object();
  if (record == nullptr) return std::nullopt;
  Song song;
  std::string plain;
  std::string synced;
  if (!ReadText(*record, "trackName", false, song.title) ||
      !ReadText(*record, "artistName", false, song.artist) ||
      !ReadText(*record, "albumName", true, song.album) ||
      !ReadText(*record, "plainLyrics", true, plain) ||
      !ReadText(*record, "syncedLyrics", true, synced))
    return std::nullopt;
  const auto* instrumental = record->if_contains("instrumental");
  if (instrumental == nullptr || !instrumental->is_bool()) return std::nullopt;
  song.instrumental = instrumental->get_bool();
  if (const auto* duration = record->if_contains("duration");
      duration != nullptr && !duration->is_null()) {
    if (!duration->is_number()) return std::nullopt;
    const auto seconds = duration->to_number<double>();
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kLongestSeconds) return std::nullopt;
    song.durationMs = std::llround(seconds * 1000);
  }
  if (song.title.empty() || song.artist.empty()) return std::nullopt;
  if (!synced.empty()) {
    const Song parsed = ParseLrc(synced);
    song.synced = parsed.synced;
    if (plain.empty()) song.lyrics = parsed.lyrics;
  }
  if (!plain.empty()) song.lyrics = TidyLyrics(plain);
  return song;
}

}  // namespace

Record ReadRecord(std::string_view body) {
  boost::system::error_code ec;
  const json::value value = json::parse(body, ec);
  if (ec) return {};
  return {.json = true, .song = RecordFromJson(value)};
}

}  // namespace talvo::upstream
