// The HTML and JSON the server answers with. Plain HTML 4 with the charset declared and no
// script, so the player's old embedded browser renders it; every outside text is escaped here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/store.h"
#include "service/lookup.h"

namespace talvo {

// Text for the inside of a JSON string; control characters as \uXXXX. The text must be UTF-8.
std::string JsonEscape(std::string_view text);
// Appends "name":"value" to a JSON object being built, the value escaped.
void AppendJsonField(std::string& json, std::string_view name, std::string_view value);

// The show page: the best match's lyrics, or a not-found page with a search form.
std::string ShowPage(const LookupResult& result);
// One song by itself, as a candidate link opens it.
std::string SongPage(const SongRow& song);
std::string IndexPage(std::int64_t songCount, const std::vector<Lookup>& recent);
std::string SearchPage(std::string_view query, const std::vector<SongRow>& results);
// The lookup as JSON for other clients.
std::string LookupJson(const LookupResult& result);

}  // namespace talvo
