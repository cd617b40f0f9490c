// The LRCLIB-compatible API's answers end to end, as one table over the real server program
// (server_harness.h): statuses, error names, headers, the values a record takes for what the
// library does not know, and album and duration matching. What a real client makes of the
// records is lrclib-client-test's.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server_harness.h"

namespace {

using namespace talvo::e2e;  // NOLINT(google-build-using-namespace)

// The raw JSON value that follows "key": in body (a string with its quotes, a number, null, true,
// false), or nullopt when the key is absent.
std::optional<std::string> JsonValue(std::string_view body, std::string_view key) {
  const std::string quoted = "\"" + std::string(key) + "\"";
  auto at = body.find(quoted);
  if (at == std::string_view::npos) return std::nullopt;
  at += quoted.size();
  const auto skipSpace = [&] {
    while (at < body.size() && std::isspace(static_cast<unsigned char>(body[at]))) ++at;
  };
  skipSpace();
  if (at >= body.size() || body[at] != ':') return std::nullopt;
  ++at;
  skipSpace();
  auto end = at;
  if (end < body.size() && body[end] == '"') {
    for (++end; end < body.size() && body[end] != '"'; ++end)
      if (body[end] == '\\') ++end;
    ++end;
  } else {
    while (end < body.size() && body[end] != ',' && body[end] != '}' && body[end] != ']' &&
           !std::isspace(static_cast<unsigned char>(body[end])))
      ++end;
  }
  return std::string(body.substr(at, std::min(end, body.size()) - at));
}

// A header's value with surrounding spaces trimmed, or nullopt when it is absent.
std::optional<std::string> Header(std::string_view headers, std::string_view name) {
  for (std::size_t start = 0; start < headers.size();) {
    auto end = headers.find("\r\n", start);
    if (end == std::string_view::npos) end = headers.size();
    const auto line = headers.substr(start, end - start);
    start = end + 2;
    const auto colon = line.find(':');
    if (colon != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < colon; ++i)
      same = same && std::tolower(static_cast<unsigned char>(line[i])) ==
                         std::tolower(static_cast<unsigned char>(name[i]));
    if (!same) continue;
    auto value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
    return std::string(value);
  }
  return std::nullopt;
}

// Whether a record's raw value is the one expected: numbers by value (233 and 233.0 are the same
// duration), kAnyString for a string of any content, anything else as written.
constexpr std::string_view kAnyString = "<string>";

bool SameValue(const std::string& got, std::string_view expected) {
  if (expected == kAnyString) return got.size() >= 2 && got.front() == '"';
  const std::string wanted(expected);
  char* gotEnd = nullptr;
  char* wantedEnd = nullptr;
  const double gotNumber = std::strtod(got.c_str(), &gotEnd);
  const double wantedNumber = std::strtod(wanted.c_str(), &wantedEnd);
  if (!got.empty() && *gotEnd == '\0' && !wanted.empty() && *wantedEnd == '\0')
    return gotNumber == wantedNumber;
  return got == wanted;
}

struct ApiCase {
  const char* name;
  std::string target;
  int status = 200;
  const char* method = "GET";
  const char* error = "";                                        // the error body's "name"
  std::vector<std::pair<const char*, const char*>> record = {};  // raw values of the 200's record
  const char* body = nullptr;   // the whole body, where it is fixed
  const char* allow = nullptr;  // the Allow header of a 405
};

std::string GetTarget(std::string_view names, std::string_view extra = {}) {
  return "/api/get?" + std::string(names) + std::string(extra);
}

constexpr std::string_view kNight = "track_name=Night+Song&artist_name=Some+Band";
constexpr std::string_view kMorning = "track_name=Morning+Light&artist_name=Quiet+Duo";

const std::vector<ApiCase>& Cases() {
  static const std::vector<ApiCase> cases = {
      // Names are required and not blank; a duration, when given, is 1 to 3600 seconds.
      {.name = "no_names", .target = "/api/get", .status = 400, .error = "ValidationError"},
      {.name = "no_track_name",
       .target = "/api/get?artist_name=Some+Band",
       .status = 400,
       .error = "ValidationError"},
      {.name = "empty_track_name",
       .target = "/api/get?track_name=&artist_name=Some+Band",
       .status = 400,
       .error = "ValidationError"},
      {.name = "spaces_track_name",
       .target = "/api/get?track_name=+++&artist_name=Some+Band",
       .status = 400,
       .error = "ValidationError"},
      {.name = "no_artist_name",
       .target = "/api/get?track_name=Night+Song",
       .status = 400,
       .error = "ValidationError"},
      {.name = "empty_artist_name",
       .target = "/api/get?track_name=Night+Song&artist_name=",
       .status = 400,
       .error = "ValidationError"},
      {.name = "spaces_artist_name",
       .target = "/api/get?track_name=Night+Song&artist_name=%20%20",
       .status = 400,
       .error = "ValidationError"},
      {.name = "cached_no_track_name",
       .target = "/api/get-cached?artist_name=Some+Band",
       .status = 400,
       .error = "ValidationError"},
      {.name = "duration_0",
       .target = GetTarget(kMorning, "&duration=0"),
       .status = 400,
       .error = "ValidationError"},
      {.name = "duration_1",
       .target = GetTarget(kMorning, "&duration=1"),
       .record = {{"trackName", "\"Morning Light\""}}},
      {.name = "duration_3600",
       .target = GetTarget(kMorning, "&duration=3600"),
       .record = {{"trackName", "\"Morning Light\""}}},
      {.name = "duration_3601",
       .target = GetTarget(kMorning, "&duration=3601"),
       .status = 400,
       .error = "ValidationError"},
      {.name = "duration_fraction",
       .target = GetTarget(kMorning, "&duration=12.5"),
       .record = {{"trackName", "\"Morning Light\""}}},
      {.name = "duration_empty",
       .target = GetTarget(kMorning, "&duration="),
       .status = 400,
       .error = "ValidationError"},
      {.name = "duration_word",
       .target = GetTarget(kMorning, "&duration=abc"),
       .status = 400,
       .error = "ValidationError"},
      {.name = "duration_nan",
       .target = GetTarget(kMorning, "&duration=NaN"),
       .status = 400,
       .error = "ValidationError"},
      {.name = "duration_exponent",
       .target = GetTarget(kMorning, "&duration=1e3"),
       .status = 400,
       .error = "ValidationError"},

      // Misses, by names, by id and through get-cached.
      {.name = "unknown_song",
       .target = "/api/get?track_name=No+Such+Song&artist_name=Nobody",
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "title_of_another_artist",
       .target = "/api/get?track_name=Night+Song&artist_name=Other+Band",
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "unknown_id", .target = "/api/get/999999", .status = 404, .error = "TrackNotFound"},
      {.name = "id_not_a_number",
       .target = "/api/get/abc",
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "id_with_letters_after",
       .target = "/api/get/1x",
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "cached_unknown_song",
       .target = "/api/get-cached?track_name=No+Such+Song&artist_name=Nobody",
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "cached_found",
       .target = "/api/get-cached?" + std::string(kNight),
       .record = {{"trackName", "\"Night Song\""}}},

      // What a record holds where the library does not know: "" and 0, and null lyrics.
      {.name = "lrc_with_album_and_length",
       .target = GetTarget(kNight),
       .record = {{"name", "\"Night Song\""},
                  {"artistName", "\"Some Band\""},
                  {"albumName", "\"Late Hours\""},
                  {"duration", "233"},
                  {"instrumental", "false"},
                  {"plainLyrics", kAnyString.data()},
                  {"syncedLyrics", kAnyString.data()}}},
      {.name = "plain_text_file",
       .target = GetTarget(kMorning),
       .record = {{"albumName", "\"\""},
                  {"duration", "0"},
                  {"instrumental", "false"},
                  {"plainLyrics", kAnyString.data()},
                  {"syncedLyrics", "null"}}},
      {.name = "instrumental",
       .target = "/api/get?track_name=Interlude&artist_name=Quiet+Duo",
       .record = {{"instrumental", "true"}, {"plainLyrics", "null"}}},

      // Album: only when given and the song has one, normalised like names. Duration: 2 s either
      // way of the song's 233, inclusive.
      {.name = "album_normalised",
       .target = "/api/get?track_name=L%27%C3%89t%C3%A9&artist_name=Zo%C3%AB&album_name=CHANSONS+"
                 "D%27%C3%89T%C3%89",
       .record = {{"trackName", "\"L'Été\""}, {"albumName", "\"Chansons d'Été\""}}},
      {.name = "album_other",
       .target = GetTarget(kNight, "&album_name=Early+Hours"),
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "album_given_song_has_none",
       .target = GetTarget(kMorning, "&album_name=Any+Album"),
       .record = {{"trackName", "\"Morning Light\""}}},
      {.name = "duration_2_s_under",
       .target = GetTarget(kNight, "&duration=231"),
       .record = {{"duration", "233"}}},
      {.name = "duration_2_s_over",
       .target = GetTarget(kNight, "&duration=235"),
       .record = {{"duration", "233"}}},
      {.name = "duration_3_s_under",
       .target = GetTarget(kNight, "&duration=230"),
       .status = 404,
       .error = "TrackNotFound"},
      {.name = "duration_3_s_over",
       .target = GetTarget(kNight, "&duration=236"),
       .status = 404,
       .error = "TrackNotFound"},

      // Search needs words or a title.
      {.name = "search_nothing", .target = "/api/search", .body = "[]"},
      {.name = "search_artist_only", .target = "/api/search?artist_name=Some+Band", .body = "[]"},

      // The server never writes: publishing is refused to every method, with no method allowed.
      {.name = "publish_get",
       .target = "/api/publish",
       .status = 405,
       .error = "MethodNotAllowed",
       .allow = ""},
      {.name = "publish_post",
       .target = "/api/publish",
       .status = 405,
       .method = "POST",
       .error = "MethodNotAllowed",
       .allow = ""},
      {.name = "challenge_get",
       .target = "/api/request-challenge",
       .status = 405,
       .error = "MethodNotAllowed",
       .allow = ""},
      {.name = "challenge_post",
       .target = "/api/request-challenge",
       .status = 405,
       .method = "POST",
       .error = "MethodNotAllowed",
       .allow = ""},
      {.name = "get_post",
       .target = GetTarget(kNight),
       .status = 405,
       .method = "POST",
       .error = "MethodNotAllowed",
       .allow = "GET, HEAD"},
  };
  return cases;
}

class LrclibTest : public ServerHarness {
 protected:
  void SetUp() override {
    ServerHarness::SetUp();
    if (IsSkipped()) return;
    WriteFile(library_ / "night.lrc",
              "[ti:Night Song]\n[ar:Some Band]\n[al:Late Hours]\n[length: 03:53]\n"
              "[00:01.00]The night is long\n[00:05.50]And the stars are out\n");
    WriteFile(library_ / "Quiet Duo - Morning Light.txt", "Morning light on the hill\n");
    WriteFile(library_ / "interlude.lrc", "[ti:Interlude]\n[ar:Quiet Duo]\n[au: instrumental]\n");
    WriteFile(library_ / "ete.lrc",
              "[ti:L'Été]\n[ar:Zoë]\n[al:Chansons d'Été]\n[00:01.00]Le soleil\n");
  }
};

TEST_F(LrclibTest, AnswersEachRequestAsTheTableSays) {
  const int port = Start();
  ASSERT_NE(port, 0) << Errors();
  for (const auto& c : Cases()) {
    SCOPED_TRACE(std::string(c.name) + ": " + c.method + " " + c.target);
    const auto reply = Request(port, c.method, c.target);
    EXPECT_EQ(reply.status, c.status) << reply.headers << "\n\n" << reply.body;
    if (reply.status != c.status) continue;
    EXPECT_EQ(Header(reply.headers, "Access-Control-Allow-Origin"), "*");
    EXPECT_NE(Header(reply.headers, "Content-Type").value_or("").find("application/json"),
              std::string::npos)
        << reply.headers;
    if (c.status != 200) {
      for (const char* key : {"code", "statusCode"}) {
        EXPECT_TRUE(SameValue(JsonValue(reply.body, key).value_or(""), std::to_string(c.status)))
            << key << ": " << reply.body;
      }
      EXPECT_TRUE(SameValue(JsonValue(reply.body, "message").value_or(""), kAnyString))
          << reply.body;
      EXPECT_EQ(JsonValue(reply.body, "name"), "\"" + std::string(c.error) + "\"") << reply.body;
    }
    if (c.allow) {
      EXPECT_EQ(Header(reply.headers, "Allow"), c.allow) << reply.headers;
    }
    if (c.body) {
      EXPECT_EQ(reply.body, c.body);
    }
    for (const auto& [key, expected] : c.record) {
      const auto value = JsonValue(reply.body, key);
      EXPECT_TRUE(value && SameValue(*value, expected))
          << key << " is " << value.value_or("missing") << ", not " << expected;
    }
  }
}

}  // namespace
