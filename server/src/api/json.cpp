#include "api/json.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace talvo::json {
namespace {

// Appends "name":"value" to an object being built, the value escaped.
void AppendField(std::string& json, std::string_view name, std::string_view value) {
  json += '"';
  json += name;
  json += "\":\"";
  json += Escape(value);
  json += '"';
}

// Text that may be absent: null rather than "".
void AppendNullable(std::string& json, std::string_view name, std::string_view value) {
  if (!value.empty()) return AppendField(json, name, value);
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

}  // namespace

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Record(const SongRow& row) {
  const Song& song = row.song;
  std::string json = "{\"id\":" + std::to_string(row.id) + ',';
  AppendField(json, "name", song.title);
  json += ',';
  AppendField(json, "trackName", song.title);
  json += ',';
  AppendField(json, "artistName", song.artist);
  json += ',';
  AppendField(json, "albumName", song.album);
  json += ",\"duration\":" + Seconds(song.durationMs);
  json += song.instrumental ? ",\"instrumental\":true," : ",\"instrumental\":false,";
  AppendNullable(json, "plainLyrics", song.lyrics);
  json += ',';
  AppendNullable(json, "syncedLyrics", song.synced);
  json += '}';
  return json;
}

std::string Records(const std::vector<SongRow>& rows) {
  std::string json = "[";
  for (const auto& row : rows) {
    if (json.size() > 1) json += ',';
    json += Record(row);
  }
  return json + "]";
}

std::string Error(int status, std::string_view name, std::string_view message) {
  const std::string code = std::to_string(status);
  std::string json = "{\"code\":" + code + ',';
  AppendField(json, "name", name);
  json += ',';
  AppendField(json, "message", message);
  return json + ",\"statusCode\":" + code + '}';
}

std::string Lookup(const LookupResult& result) {
  std::string json = "{\"query\":{";
  AppendField(json, "title", result.title);
  json += ',';
  AppendField(json, "artist", result.artist);
  json += "},\"found\":";
  json += result.best ? "true" : "false";
  if (result.best) {
    const auto& song = result.best->song;
    json += R"(,"song":{"id":)" + std::to_string(result.best->id) + ',';
    AppendField(json, "title", song.title);
    json += ',';
    AppendField(json, "artist", song.artist);
    json += ',';
    AppendField(json, "album", song.album);
    json += ',';
    AppendField(json, "lyrics", song.lyrics);
    json += '}';
  }
  json += ",\"candidates\":[";
  for (std::size_t i = 0; i < result.candidates.size(); ++i) {
    const auto& row = result.candidates[i];
    json += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(row.id) + ',';
    AppendField(json, "title", row.song.title);
    json += ',';
    AppendField(json, "artist", row.song.artist);
    json += '}';
  }
  return json + "]}\n";
}

}  // namespace talvo::json
