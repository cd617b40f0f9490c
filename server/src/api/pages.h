// The HTML pages the server answers with. Plain HTML 4 with the charset declared and no
// script, so the player's old embedded browser renders it; every outside text is escaped here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/store.h"
#include "service/lookup.h"

namespace talvo {

// The show page: the best match's lyrics, or a not-found page with a search form.
std::string ShowPage(const LookupResult& result);
// One song by itself, as a candidate link opens it.
std::string SongPage(const SongRow& song);
std::string IndexPage(std::int64_t songCount, const std::vector<Visit>& recent);
std::string SearchPage(std::string_view query, const std::vector<SongRow>& results);

}  // namespace talvo
