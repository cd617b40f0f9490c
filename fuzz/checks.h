// What the fuzz targets check their findings against: a strict reader of query values and
// show-page addresses, and the caption cut worked out the plain way.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Reports a broken expectation and aborts, so that the fuzzing engine keeps the input and the
// replay runner fails.
void Require(bool ok, const char* what);

// The bytes a query value stands for, or nothing unless every byte of it is allowed and written
// the one way the encoder writes it: letters, digits, '@' and '.' as themselves, a space as '+',
// every other byte as '%' and two lowercase hex digits.
std::optional<std::string> DecodeQueryText(std::string_view encoded);

struct ShowPageQuery {
  std::string title;   // decoded
  std::string singer;  // decoded
};

// The decoded title and singer of a show-page address, or nothing unless the address is exactly
// "http://" LyricsHost "/kr/lyrics_plugin_show.html?title=" value "&singer=" value.
std::optional<ShowPageQuery> ReadShowPageAddress(std::string_view address);

// Where the last "- Winamp" (ASCII letter case ignored) starts in caption, if anywhere.
std::optional<std::size_t> FindLastCaptionMarker(std::string_view caption);

// Checks that `song` is what cutting `caption` must give: without a marker, empty; with one, the
// caption up to the last marker less the spaces just before it.
void CheckCaptionCut(std::string_view caption, std::string_view song);
