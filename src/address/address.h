// Lyrics page addresses: query-text encoding and the two pages the browser is asked to open.
#pragma once

#include <cstddef>

#ifndef TALVO_LYRICS_HOST
#error "TALVO_LYRICS_HOST names the lyrics server (host[:port]); the build sets it"
#endif

// The lyrics server, fixed when the plugin is built.
inline constexpr char LyricsHost[] = TALVO_LYRICS_HOST;

inline constexpr char IndexPageAddress[] =
    "http://" TALVO_LYRICS_HOST "/kr/lyrics_plugin_index.html";

// Bytes that `text` of length n needs once encoded, the NUL included.
constexpr std::size_t EncodedSize(std::size_t n) {
  return 3 * n + 1;
}

// Bytes of a show-page address around the two values ("http://", host, path, both keys, NUL).
inline constexpr std::size_t kShowPageFrame = sizeof "http://" - 1 + sizeof LyricsHost - 1 +
                                              sizeof "/kr/lyrics_plugin_show.html?title=" - 1 +
                                              sizeof "&singer=" - 1 + 1;

// Writes `text` into out as a query value: letters, digits, '@' and '.' stay, a space becomes '+',
// every other byte becomes "%xx" in lowercase hex. out needs EncodedSize(strlen(text)) bytes, and
// the bytes of it past the NUL may be overwritten.
// Answers out, or null (writing nothing) when text is null.
char* EncodeQueryText(const char* text, char* out);

// Writes "http://<host>/kr/lyrics_plugin_show.html?title=<encTitle>&singer=<encSinger>" into
// dest, which needs kShowPageFrame + both lengths. A null encSinger leaves the singer empty.
void ShowPageAddress(char* dest, const char* encTitle, const char* encSinger);
