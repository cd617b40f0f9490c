#include "pages.h"

#include <cstdio>

namespace talvo {
namespace {

constexpr std::string_view kStyle =
    "body{font-family:sans-serif;margin:1em 2em;color:#222;background:#fff}"
    "h1{font-size:1.5em;margin-bottom:.2em}.artist{color:#555;margin-top:0}"
    ".lyrics p{line-height:1.4}.note{color:#555}li{margin:.2em 0}";

std::string Document(std::string_view title, std::string_view body) {
  std::string page;
  page.reserve(body.size() + 512);
  page +=
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
      "\"http://www.w3.org/TR/html4/strict.dtd\">\n<html><head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n<title>";
  page += HtmlEscape(title);
  page += "</title>\n<style type=\"text/css\">";
  page += kStyle;
  page += "</style>\n</head><body>\n";
  page += body;
  page += "</body></html>\n";
  return page;
}

std::string SearchForm(std::string_view query) {
  return "<form action=\"/search\" method=\"get\" accept-charset=\"utf-8\"><p>"
         "<input type=\"text\" name=\"q\" size=\"40\" value=\"" +
         HtmlEscape(query) + "\"> <input type=\"submit\" value=\"Search\"></p></form>\n";
}

std::string Footer(std::string_view query) {
  return "<hr>\n" + SearchForm(query) +
         "<p class=\"note\"><a href=\"/kr/lyrics_plugin_index.html\">Library</a></p>\n";
}

std::string SongLink(const SongRow& row) {
  std::string item = "<li><a href=\"/song?id=" + std::to_string(row.id) + "\">" +
                     HtmlEscape(row.song.title.empty() ? "(untitled)" : row.song.title) + "</a>";
  if (!row.song.artist.empty()) item += " &mdash; " + HtmlEscape(row.song.artist);
  return item + "</li>\n";
}

std::string SongList(const std::vector<SongRow>& rows) {
  std::string list = "<ul>\n";
  for (const auto& row : rows) list += SongLink(row);
  return list + "</ul>\n";
}

// Verses as paragraphs, lines within them broken with <br>.
std::string LyricsHtml(std::string_view lyrics) {
  std::string html = "<div class=\"lyrics\">\n<p>";
  bool lineOpen = false;
  std::size_t start = 0;
  while (start <= lyrics.size()) {
    auto end = lyrics.find('\n', start);
    if (end == std::string_view::npos) end = lyrics.size();
    const auto line = lyrics.substr(start, end - start);
    if (line.empty()) {
      if (lineOpen) html += "</p>\n<p>";
      lineOpen = false;
    } else {
      if (lineOpen) html += "<br>\n";
      html += HtmlEscape(line);
      lineOpen = true;
    }
    start = end + 1;
  }
  return html + "</p>\n</div>\n";
}

std::string SongBody(const Song& song) {
  std::string body =
      "<h1>" + HtmlEscape(song.title.empty() ? "(untitled)" : song.title) + "</h1>\n";
  if (!song.artist.empty() || !song.album.empty()) {
    body += "<p class=\"artist\">" + HtmlEscape(song.artist);
    if (!song.album.empty())
      body += (song.artist.empty() ? "" : " &middot; ") + HtmlEscape(song.album);
    body += "</p>\n";
  }
  return body + LyricsHtml(song.lyrics);
}

std::string Searched(const LookupResult& result) {
  std::string text = result.title;
  if (!result.artist.empty()) text += " " + result.artist;
  return text;
}

void AppendJsonField(std::string& json, std::string_view name, std::string_view value) {
  json += '"';
  json += name;
  json += "\":\"";
  json += JsonEscape(value);
  json += '"';
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t start = 0;
  for (;;) {
    // Runs of plain text are copied whole: names and lyrics hold few of these.
    const std::size_t special = text.find_first_of("&<>\"'", start);
    out.append(text.substr(start, special - start));
    if (special == std::string_view::npos) return out;
    switch (text[special]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += "&#39;";
    }
    start = special + 1;
  }
}

std::string JsonEscape(std::string_view text) {
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

std::string ShowPage(const LookupResult& result) {
  if (result.best) {
    std::string body = SongBody(result.best->song);
    if (!result.candidates.empty()) body += "<h2>Other songs</h2>\n" + SongList(result.candidates);
    const auto& song = result.best->song;
    return Document(song.artist.empty() ? song.title : song.artist + " - " + song.title,
                    body + Footer(""));
  }
  std::string body = "<h1>No lyrics found</h1>\n<p>Searched for <b>" +
                     HtmlEscape(result.title.empty() ? "(no title)" : result.title) + "</b>";
  if (!result.artist.empty()) body += " by <b>" + HtmlEscape(result.artist) + "</b>";
  body += " in the library.</p>\n";
  if (!result.candidates.empty()) body += "<h2>Similar songs</h2>\n" + SongList(result.candidates);
  return Document("No lyrics found", body + Footer(Searched(result)));
}

std::string SongPage(const SongRow& song) {
  return Document(song.song.title, SongBody(song.song) + Footer(""));
}

std::string IndexPage(std::int64_t songCount, const std::vector<Lookup>& recent) {
  std::string body = "<h1>Talvo Lyrics</h1>\n<p>" + std::to_string(songCount) +
                     (songCount == 1 ? " song" : " songs") + " in the library.</p>\n" +
                     SearchForm("");
  if (!recent.empty()) {
    body += "<h2>Recently looked up</h2>\n<ul>\n";
    for (const auto& lookup : recent) {
      std::string text = HtmlEscape(lookup.title.empty() ? "(no title)" : lookup.title);
      if (!lookup.artist.empty()) text += " &mdash; " + HtmlEscape(lookup.artist);
      if (lookup.songId)
        body += "<li><a href=\"/song?id=" + std::to_string(*lookup.songId) + "\">" + text +
                "</a></li>\n";
      else
        body += "<li>" + text + " <span class=\"note\">(not found)</span></li>\n";
    }
    body += "</ul>\n";
  }
  return Document("Talvo Lyrics", body);
}

std::string SearchPage(std::string_view query, const std::vector<SongRow>& results) {
  std::string body = "<h1>Search</h1>\n" + SearchForm(query);
  if (query.empty()) {
    body += "<p class=\"note\">Type a title, an artist or a line of the words.</p>\n";
  } else if (results.empty()) {
    body += "<p>Nothing found for <b>" + HtmlEscape(query) + "</b>.</p>\n";
  } else {
    body += SongList(results);
  }
  return Document(
      query.empty() ? "Search" : "Search: " + std::string(query),
      body + "<p class=\"note\"><a href=\"/kr/lyrics_plugin_index.html\">Library</a></p>\n");
}

std::string LookupJson(const LookupResult& result) {
  std::string json = "{\"query\":{";
  AppendJsonField(json, "title", result.title);
  json += ',';
  AppendJsonField(json, "artist", result.artist);
  json += "},\"found\":";
  json += result.best ? "true" : "false";
  if (result.best) {
    const auto& song = result.best->song;
    json += R"(,"song":{"id":)" + std::to_string(result.best->id) + ',';
    AppendJsonField(json, "title", song.title);
    json += ',';
    AppendJsonField(json, "artist", song.artist);
    json += ',';
    AppendJsonField(json, "album", song.album);
    json += ',';
    AppendJsonField(json, "lyrics", song.lyrics);
    json += '}';
  }
  json += ",\"candidates\":[";
  for (std::size_t i = 0; i < result.candidates.size(); ++i) {
    const auto& row = result.candidates[i];
    json += (i ? ",{\"id\":" : "{\"id\":") + std::to_string(row.id) + ',';
    AppendJsonField(json, "title", row.song.title);
    json += ',';
    AppendJsonField(json, "artist", row.song.artist);
    json += '}';
  }
  return json + "]}\n";
}

}  // namespace talvo
