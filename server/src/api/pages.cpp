#include "api/pages.h"

#include <cstdio>

namespace talvo {
namespace {

constexpr std::string_view kStyle =
    "body{font-family:sans-serif;margin:1em 2em;color:#222;background:#fff}"
    "h1{font-size:1.5em;margin-bottom:.2em}.artist{color:#555;margin-top:0}"
    ".lyrics p{line-height:1.4}.note{color:#555}li{margin:.2em 0}";

// Pages are built by appending to one string: a show page is made for every lookup. Text goes
// in escaped for element content and quoted attribute values: & < > " '.
void AppendHtml(std::string& page, std::string_view text) {
  // The C0 controls HTML has no place for in text (a NUL in a dump's name, say) go in as U+FFFD;
  // tab and the line ends are white space there.
  const auto special = [](char c) {
    switch (c) {
      case '&':
      case '<':
      case '>':
      case '"':
      case '\'':
        return true;
      case '\t':
      case '\n':
      case '\r':
        return false;
      default:
        return static_cast<unsigned char>(c) < 0x20;
    }
  };
  std::size_t start = 0;
  for (;;) {
    // Runs of plain text are copied whole: names and lyrics hold few of these.
    std::size_t at = start;
    while (at < text.size() && !special(text[at])) ++at;
    page.append(text.substr(start, at - start));
    if (at == text.size()) return;
    switch (text[at]) {
      case '&':
        page += "&amp;";
        break;
      case '<':
        page += "&lt;";
        break;
      case '>':
        page += "&gt;";
        break;
      case '"':
        page += "&quot;";
        break;
      case '\'':
        page += "&#39;";
        break;
      default:
        page += "\xEF\xBF\xBD";
    }
    start = at + 1;
  }
}

// Everything up to the body's content.
void OpenDocument(std::string& page, std::string_view title) {
  page +=
      "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
      "\"http://www.w3.org/TR/html4/strict.dtd\">\n<html><head>\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n<title>";
  AppendHtml(page, title);
  page += "</title>\n<style type=\"text/css\">";
  page += kStyle;
  page += "</style>\n</head><body>\n";
}

void CloseDocument(std::string& page) {
  page += "</body></html>\n";
}

void AppendSearchForm(std::string& page, std::string_view query) {
  page +=
      "<form action=\"/search\" method=\"get\" accept-charset=\"utf-8\"><p>"
      "<input type=\"text\" name=\"q\" size=\"40\" value=\"";
  AppendHtml(page, query);
  page += "\"> <input type=\"submit\" value=\"Search\"></p></form>\n";
}

constexpr std::string_view kLibraryLink =
    "<p class=\"note\"><a href=\"/kr/lyrics_plugin_index.html\">Library</a></p>\n";

void AppendFooter(std::string& page, std::string_view query) {
  page += "<hr>\n";
  AppendSearchForm(page, query);
  page += kLibraryLink;
}

void AppendSongList(std::string& page, const std::vector<SongRow>& rows) {
  page += "<ul>\n";
  for (const auto& row : rows) {
    page += "<li><a href=\"/song?id=";
    page += std::to_string(row.id);
    page += "\">";
    AppendHtml(page, row.song.title.empty() ? "(untitled)" : row.song.title);
    page += "</a>";
    if (!row.song.artist.empty()) {
      page += " &mdash; ";
      AppendHtml(page, row.song.artist);
    }
    page += "</li>\n";
  }
  page += "</ul>\n";
}

// Verses as paragraphs, lines within them broken with <br>.
void AppendLyrics(std::string& page, std::string_view lyrics) {
  page += "<div class=\"lyrics\">\n<p>";
  bool lineOpen = false;
  std::size_t start = 0;
  while (start <= lyrics.size()) {
    auto end = lyrics.find('\n', start);
    if (end == std::string_view::npos) end = lyrics.size();
    const auto line = lyrics.substr(start, end - start);
    if (line.empty()) {
      if (lineOpen) page += "</p>\n<p>";
      lineOpen = false;
    } else {
      if (lineOpen) page += "<br>\n";
      AppendHtml(page, line);
      lineOpen = true;
    }
    start = end + 1;
  }
  page += "</p>\n</div>\n";
}

void AppendSong(std::string& page, const Song& song) {
  page += "<h1>";
  AppendHtml(page, song.title.empty() ? "(untitled)" : song.title);
  page += "</h1>\n";
  if (!song.artist.empty() || !song.album.empty()) {
    page += "<p class=\"artist\">";
    AppendHtml(page, song.artist);
    if (!song.album.empty()) {
      if (!song.artist.empty()) page += " &middot; ";
      AppendHtml(page, song.album);
    }
    page += "</p>\n";
  }
  AppendLyrics(page, song.lyrics);
}

// Room for a page's markup besides its text, so that building it seldom grows the string.
constexpr std::size_t kPageRoom = 2048;

std::string Searched(const LookupResult& result) {
  std::string text = result.title;
  if (!result.artist.empty()) text += " " + result.artist;
  return text;
}

}  // namespace

std::string ShowPage(const LookupResult& result) {
  std::string page;
  if (result.best) {
    const auto& song = result.best->song;
    page.reserve(kPageRoom + song.lyrics.size() + song.lyrics.size() / 4);
    OpenDocument(page, song.artist.empty() ? song.title : song.artist + " - " + song.title);
    AppendSong(page, song);
    if (!result.candidates.empty()) {
      page += "<h2>Other songs</h2>\n";
      AppendSongList(page, result.candidates);
    }
    AppendFooter(page, "");
  } else {
    page.reserve(kPageRoom);
    OpenDocument(page, "No lyrics found");
    page += "<h1>No lyrics found</h1>\n<p>Searched for <b>";
    AppendHtml(page, result.title.empty() ? "(no title)" : result.title);
    page += "</b>";
    if (!result.artist.empty()) {
      page += " by <b>";
      AppendHtml(page, result.artist);
      page += "</b>";
    }
    page += " in the library.</p>\n";
    if (!result.candidates.empty()) {
      page += "<h2>Similar songs</h2>\n";
      AppendSongList(page, result.candidates);
    }
    AppendFooter(page, Searched(result));
  }
  CloseDocument(page);
  return page;
}

std::string SongPage(const SongRow& song) {
  std::string page;
  page.reserve(kPageRoom + song.song.lyrics.size() + song.song.lyrics.size() / 4);
  OpenDocument(page, song.song.title);
  AppendSong(page, song.song);
  AppendFooter(page, "");
  CloseDocument(page);
  return page;
}

std::string IndexPage(std::int64_t songCount, const std::vector<Visit>& recent) {
  std::string page;
  OpenDocument(page, "Talvo Lyrics");
  page += "<h1>Talvo Lyrics</h1>\n<p>";
  page += std::to_string(songCount);
  page += songCount == 1 ? " song" : " songs";
  page += " in the library.</p>\n";
  AppendSearchForm(page, "");
  if (!recent.empty()) {
    page += "<h2>Recently looked up</h2>\n<ul>\n";
    for (const auto& lookup : recent) {
      page += "<li>";
      if (lookup.songId) {
        page += "<a href=\"/song?id=";
        page += std::to_string(*lookup.songId);
        page += "\">";
      }
      AppendHtml(page, lookup.title.empty() ? "(no title)" : lookup.title);
      if (!lookup.artist.empty()) {
        page += " &mdash; ";
        AppendHtml(page, lookup.artist);
      }
      page += lookup.songId ? "</a></li>\n" : " <span class=\"note\">(not found)</span></li>\n";
    }
    page += "</ul>\n";
  }
  CloseDocument(page);
  return page;
}

std::string SearchPage(std::string_view query, const std::vector<SongRow>& results) {
  std::string page;
  OpenDocument(page, query.empty() ? "Search" : "Search: " + std::string(query));
  page += "<h1>Search</h1>\n";
  AppendSearchForm(page, query);
  if (query.empty()) {
    page += "<p class=\"note\">Type a title, an artist or a line of the words.</p>\n";
  } else if (results.empty()) {
    page += "<p>Nothing found for <b>";
    AppendHtml(page, query);
    page += "</b>.</p>\n";
  } else {
    AppendSongList(page, results);
  }
  page += kLibraryLink;
  CloseDocument(page);
  return page;
}

}  // namespace talvo
