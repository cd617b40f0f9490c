#include "text/lyrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace talvo {
namespace {

// Real files repeat a line for a chorus a handful of times; the cap keeps a hostile line from
// multiplying itself without bound.
constexpr std::size_t kMaxStampsPerLine = 64;
// Saturates absurd minute counts instead of overflowing; such stamps just sort last.
constexpr std::uint64_t kMaxMinutes = 1'000'000'000;
// An [offset:] as long as the longest stamp: past any real file's, and saturating keeps the sums
// of times and offsets far from overflowing.
constexpr std::uint64_t kMaxOffsetMs = kMaxMinutes * 60'000;
constexpr std::size_t kMaxTagKey = 16;
constexpr std::size_t kMaxPlaylistDigits = 5;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  return TrimRight(TrimLeft(s));
}

void TrimInPlace(std::string& s) {
  while (!s.empty() && IsBlank(s.back())) s.pop_back();
  std::size_t blanks = 0;
  while (blanks < s.size() && IsBlank(s[blanks])) ++blanks;
  s.erase(0, blanks);
}

// Lines ended by "\n", "\r\n" or a lone "\r"; a final line without an end counts too.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  bool Next(std::string_view& line) {
    if (done_) return false;
    // A plain loop: find_first_of calls memchr on its set for every byte of the text.
    std::size_t end = 0;
    while (end < rest_.size() && rest_[end] != '\n' && rest_[end] != '\r') ++end;
    if (end == rest_.size()) {
      line = rest_;
      done_ = true;
      return true;
    }
    line = rest_.substr(0, end);
    std::size_t next = end + 1;
    if (rest_[end] == '\r' && next < rest_.size() && rest_[next] == '\n') ++next;
    rest_.remove_prefix(next);
    done_ = rest_.empty();  // a final line end does not open another, empty line
    return true;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

struct Stamp {
  std::uint64_t milliseconds = 0;
  std::size_t length = 0;  // of the stamp text, brackets included
};

// Reads up to maxDigits digits from s at i, saturating at limit. Nothing when there is none.
std::optional<std::uint64_t> ReadNumber(std::string_view s, std::size_t& i, std::size_t maxDigits,
                                        std::uint64_t limit, std::size_t* count = nullptr) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  while (i < s.size() && IsDigit(s[i]) && digits < maxDigits) {
    value = std::min(value * 10 + static_cast<std::uint64_t>(s[i] - '0'), limit);
    ++i;
    ++digits;
  }
  if (count != nullptr) *count = digits;
  if (digits == 0) return std::nullopt;
  return value;
}

// "mm:ss", "mm:ss.x", "mm:ss.xx", "mm:ss.xxx" or "mm:ss:xx" in s at i, in milliseconds.
std::optional<std::uint64_t> ReadClock(std::string_view s, std::size_t& i) {
  const auto minutes = ReadNumber(s, i, s.size(), kMaxMinutes);
  if (!minutes || i >= s.size() || s[i] != ':') return std::nullopt;
  ++i;
  const auto seconds = ReadNumber(s, i, 2, 99);
  if (!seconds) return std::nullopt;
  std::uint64_t fraction = 0;
  if (i < s.size() && (s[i] == '.' || s[i] == ':')) {
    ++i;
    std::size_t digits = 0;
    const auto value = ReadNumber(s, i, 3, 999, &digits);
    if (!value) return std::nullopt;
    fraction = *value * (digits == 1 ? 100 : digits == 2 ? 10 : 1);
  }
  return (*minutes * 60 + *seconds) * 1000 + fraction;
}

// A clock at the start of s, with open and close as the brackets.
std::optional<Stamp> ReadStamp(std::string_view s, char open, char close) {
  if (s.empty() || s.front() != open) return std::nullopt;
  std::size_t i = 1;
  const auto milliseconds = ReadClock(s, i);
  if (!milliseconds || i >= s.size() || s[i] != close) return std::nullopt;
  return Stamp{*milliseconds, i + 1};
}

// The words of a stamped line without the per-word stamps ("<mm:ss.xx>") of the enhanced form:
// plain as they always were (the stamps cut out), timed with each stamp and the blanks around it
// as one space between words. timed is left empty when it would equal plain.
void DropWordStamps(std::string_view words, std::string& plain, std::string& timed) {
  if (words.find('<') == std::string_view::npos) {
    plain = Trim(words);
    return;
  }
  plain.reserve(words.size());
  timed.reserve(words.size());
  bool spaceDue = false;
  const auto append = [&](std::string_view text) {
    plain.append(text);
    if (spaceDue) {
      text = TrimLeft(text);
      if (text.empty()) return;
      if (!timed.empty()) timed.push_back(' ');
      spaceDue = false;
    }
    timed.append(text);
  };
  std::size_t i = 0;
  while (i < words.size()) {
    const std::size_t open = words.find('<', i);
    if (open == std::string_view::npos) {
      append(words.substr(i));
      break;
    }
    append(words.substr(i, open - i));
    if (const auto stamp = ReadStamp(words.substr(open), '<', '>')) {
      while (!timed.empty() && IsBlank(timed.back())) timed.pop_back();
      spaceDue = true;
      i = open + stamp->length;
    } else {
      append("<");
      i = open + 1;
    }
  }
  TrimInPlace(plain);
  TrimInPlace(timed);
  if (timed == plain) timed = std::string();
}

// A whole line "[key:value]". The value runs to the last ']' so that "[ti:Song [Live]]" works.
bool ReadTag(std::string_view line, std::string_view& key, std::string_view& value) {
  line = TrimRight(line);
  if (line.size() < 3 || line.front() != '[' || line.back() != ']') return false;
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon < 2 || colon - 1 > kMaxTagKey) return false;
  key = line.substr(1, colon - 1);
  if (!IsAsciiLetter(key.front()) && key.front() != '#') return false;
  for (const char c : key) {
    if (!IsAsciiLetter(c) && !IsDigit(c) && c != '#' && c != '_') return false;
  }
  value = Trim(line.substr(colon + 1, line.size() - colon - 2));
  return true;
}

bool KeyIs(std::string_view key, std::string_view name) {
  return std::equal(key.begin(), key.end(), name.begin(), name.end(), [](char a, char b) {
    return (IsAsciiLetter(a) ? static_cast<char>(a | 0x20) : a) == b;
  });
}

// One place a line takes in the lyrics. Entries sort by order: 0 for lines before the first
// stamp, otherwise one past the time.
struct Entry {
  std::uint64_t order;
  std::size_t line;
  bool timed;  // from a stamp, not an unstamped line that follows one
};

struct Line {
  std::string words;
  std::string timedWords;  // only when the timed form differs from words
};

// "[au: instrumental]" anywhere in line (a newline breaks it), letter case and blanks around its
// parts ignored: how lyrics sites mark a song that has no words. Each try stops at the next '[', so
// this is linear.
bool HoldsInstrumentalMark(std::string_view line) {
  const auto skipBlanks = [&](std::size_t& i) {
    while (i < line.size() && IsBlank(line[i])) ++i;
  };
  const auto word = [&](std::size_t& i, std::string_view lower) {
    for (const char c : lower) {
      if (i >= line.size() || (IsAsciiLetter(line[i]) ? line[i] | 0x20 : line[i]) != c)
        return false;
      ++i;
    }
    return true;
  };
  for (std::size_t open = line.find('['); open != std::string_view::npos;
       open = line.find('[', open + 1)) {
    std::size_t i = open + 1;
    skipBlanks(i);
    if (!word(i, "au")) continue;
    skipBlanks(i);
    if (!word(i, ":")) continue;
    skipBlanks(i);
    if (!word(i, "instrumental")) continue;
    skipBlanks(i);
    if (word(i, "]")) return true;
  }
  return false;
}

// "[offset:]" in milliseconds, "+500", "-250" or "75"; nothing for any other value.
std::optional<std::int64_t> ReadOffset(std::string_view value) {
  const bool negative = !value.empty() && value.front() == '-';
  if (!value.empty() && (value.front() == '-' || value.front() == '+')) value.remove_prefix(1);
  std::size_t i = 0;
  const auto magnitude = ReadNumber(value, i, value.size(), kMaxOffsetMs);
  if (!magnitude || i != value.size()) return std::nullopt;
  const auto milliseconds = static_cast<std::int64_t>(*magnitude);
  return negative ? -milliseconds : milliseconds;
}

// "[length:]" as "m:ss" or "mm:ss.xx", in milliseconds; 0 for anything else.
std::int64_t ReadLength(std::string_view value) {
  std::size_t i = 0;
  const auto milliseconds = ReadClock(value, i);
  if (!milliseconds || i != value.size()) return 0;
  return static_cast<std::int64_t>(*milliseconds);
}

// "[mm:ss.xx] ": minutes of at least two digits, hundredths cut, not rounded.
void AppendStamp(std::string& out, std::uint64_t milliseconds) {
  const std::uint64_t minutes = milliseconds / 60'000;
  const auto seconds = static_cast<unsigned>(milliseconds / 1000 % 60);
  const auto hundredths = static_cast<unsigned>(milliseconds % 1000 / 10);
  std::array<char, 24> minuteDigits{};
  const auto written =
      std::to_chars(minuteDigits.data(), minuteDigits.data() + minuteDigits.size(), minutes);
  out.push_back('[');
  if (minutes < 10) out.push_back('0');
  out.append(minuteDigits.data(), written.ptr);
  out.push_back(':');
  out.push_back(static_cast<char>('0' + seconds / 10));
  out.push_back(static_cast<char>('0' + seconds % 10));
  out.push_back('.');
  out.push_back(static_cast<char>('0' + hundredths / 10));
  out.push_back(static_cast<char>('0' + hundredths % 10));
  out.append("] ");
}

// The stamped entries, sorted, as "[mm:ss.xx] words" lines with the offset applied (a positive
// one shows lines earlier, never before 0). Ends at the last whole line within kMaxLyricsBytes.
std::string JoinTimed(const std::vector<Entry>& entries, const std::vector<Line>& lines,
                      std::int64_t offset) {
  std::string out;
  std::string stamp;
  for (const Entry& entry : entries) {
    if (!entry.timed) continue;
    std::uint64_t time = entry.order - 1;
    if (offset >= 0) {
      time -= std::min(time, static_cast<std::uint64_t>(offset));
    } else {
      time += static_cast<std::uint64_t>(-offset);
    }
    stamp.clear();
    AppendStamp(stamp, time);
    const Line& line = lines[entry.line];
    const std::string& words = line.timedWords.empty() ? line.words : line.timedWords;
    const std::size_t separator = out.empty() ? 0 : 1;
    if (out.size() + separator + stamp.size() + words.size() > kMaxLyricsBytes) break;
    if (separator != 0) out.push_back('\n');
    out.append(stamp);
    out.append(words);
  }
  return out;
}

}  // namespace

Song ParseLrc(std::string_view text) {
  Song song;
  std::vector<Line> lines;
  std::vector<Entry> entries;
  std::optional<std::uint64_t> previousOrder;
  std::optional<std::int64_t> offset;
  bool stamped = false;

  LineReader reader(text);
  std::string_view line;
  while (reader.Next(line)) {
    if (!song.instrumental) song.instrumental = HoldsInstrumentalMark(line);
    std::string_view rest = TrimLeft(line);
    std::array<std::uint64_t, kMaxStampsPerLine> stamps{};
    std::size_t count = 0;
    while (const auto stamp = ReadStamp(rest, '[', ']')) {
      if (count < stamps.size()) stamps.at(count++) = stamp->milliseconds + 1;
      rest = TrimLeft(rest.substr(stamp->length));
    }
    if (count == 0) {
      std::string_view key;
      std::string_view value;
      if (ReadTag(rest, key, value)) {
        std::string* field = KeyIs(key, "ti")   ? &song.title
                             : KeyIs(key, "ar") ? &song.artist
                             : KeyIs(key, "al") ? &song.album
                                                : nullptr;
        if (field != nullptr && field->empty()) *field = value;
        if (KeyIs(key, "offset") && !offset) offset = ReadOffset(value);
        if (KeyIs(key, "length") && song.durationMs == 0) song.durationMs = ReadLength(value);
        continue;
      }
      // An unstamped line stays with the stamped line it follows (a verse break, mostly).
      lines.push_back({std::string(TrimRight(rest)), {}});
      entries.push_back({previousOrder.value_or(0), lines.size() - 1, false});
      continue;
    }
    stamped = true;
    Line& words = lines.emplace_back();
    DropWordStamps(rest, words.words, words.timedWords);
    for (std::size_t i = 0; i < count; ++i)
      entries.push_back({stamps.at(i), lines.size() - 1, true});
    previousOrder = *std::min_element(stamps.begin(), stamps.begin() + static_cast<long>(count));
  }

  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.order < b.order; });
  std::string joined;
  for (const Entry& entry : entries) {
    const std::string& words = lines[entry.line].words;
    // Tidying drops at least the final line end, so this much still tidies to the cap.
    if (joined.size() + words.size() + 1 > kMaxLyricsBytes + 1) break;
    joined.append(words);
    joined.push_back('\n');
  }
  song.lyrics = TidyLyrics(joined);
  if (stamped) song.synced = JoinTimed(entries, lines, offset.value_or(0));
  return song;
}

bool HasTimestamps(std::string_view text) {
  LineReader reader(text);
  std::string_view line;
  while (reader.Next(line)) {
    if (ReadStamp(TrimLeft(line), '[', ']')) return true;
  }
  return false;
}

Song ParseLyrics(std::string_view text) {
  Song song;
  if (HasTimestamps(text) || HoldsInstrumentalMark(text)) {
    Song parsed = ParseLrc(text);
    song.lyrics = std::move(parsed.lyrics);
    song.synced = std::move(parsed.synced);
    song.durationMs = parsed.durationMs;
    song.instrumental = parsed.instrumental;
  } else {
    song.lyrics = TidyLyrics(text);
  }
  return song;
}

std::string TidyLyrics(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool blank = false;
  LineReader reader(text);
  std::string_view line;
  while (reader.Next(line)) {
    line = TrimRight(line);
    if (line.empty()) {
      blank = !out.empty();
      continue;
    }
    if (!out.empty()) out.append(blank ? "\n\n" : "\n");
    blank = false;
    out.append(line);
  }
  return out;
}

std::string_view DropPlaylistNumber(std::string_view text) {
  const std::string_view rest = TrimLeft(text);
  std::size_t digits = 0;
  while (digits < rest.size() && IsDigit(rest[digits])) ++digits;
  if (digits == 0 || digits > kMaxPlaylistDigits || digits == rest.size() || rest[digits] != '.') {
    return text;
  }
  // "2.0 Remix" and "1.5" are names, not numbered entries.
  const std::string_view after = rest.substr(digits + 1);
  if (!after.empty() && IsDigit(after.front())) return text;
  const std::string_view name = TrimLeft(after);
  return name.empty() ? text : name;
}

bool SplitArtistTitle(std::string_view text, std::string& artist, std::string& title) {
  const std::size_t dash = text.find(" - ");
  if (dash == std::string_view::npos) return false;
  const std::string_view left = Trim(text.substr(0, dash));
  const std::string_view right = Trim(text.substr(dash + 3));
  if (left.empty() || right.empty()) return false;
  artist = left;
  title = right;
  return true;
}

}  // namespace talvo
