// The stand-in player in the test process, with a fresh copy of the real plugin loaded (not yet
// started), driven by the stand-in player's own script commands. Logs are compared as text, one
// line per event, the way the player logged them.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "standin-host/player.h"
#include "standin-host/script.h"

// The lyrics server's pages, as the build configured them.
constexpr char kShowPage[] = "http://" TALVO_LYRICS_HOST "/kr/lyrics_plugin_show.html";
constexpr char kIndexPage[] = "http://" TALVO_LYRICS_HOST "/kr/lyrics_plugin_index.html";

// Replaces {dir} (the sandbox folder), {show} and {index} (the two page addresses).
std::string Expand(std::string_view text);

// Lines joined, each ending in a newline: what a failed comparison prints as a diff.
std::string Join(const std::vector<std::string>& lines);

// Only the lines that start with one of `kinds` ("debug", "browser", ...).
std::vector<std::string> Only(const std::vector<std::string>& lines,
                              const std::vector<std::string>& kinds);

class PlayerTest : public testing::Test {
 protected:
  void SetUp() override;

  // Runs the commands (placeholders expanded, {plugin} too) and answers the lines they logged.
  std::vector<std::string> Run(const std::vector<std::string>& commands);
  // The plugin's copy: its file name, as "procedure" logs it.
  const std::string& pluginName() const { return pluginName_; }
  // Expand, and {plugin} as well.
  std::string ExpandHere(std::string_view text) const;
  std::vector<std::string> ExpandHere(const std::vector<std::string>& lines) const;

  EventLog log_;
  Player player_{log_};
  ScriptRunner runner_{player_, log_, false};

 private:
  std::string pluginName_;
};

// The songs SetUp writes into the sandbox: one that ends in an ID3v1 tag, one without a tag.
inline constexpr char kAddTagged[] = R"(add "{dir}\night.mp3" Some Band - Night Song)";
inline constexpr char kAddPlain[] = R"(add "{dir}\plain.mp3" Other Band - Day Song)";
inline constexpr char kTaggedPage[] = "{show}?title=Night+Song&singer=Some+Band";

// The three queries of one check while entry `position` (from 0) of `file` plays.
std::vector<std::string> Checked(int position, std::string_view file);

// The lines of several parts, in order.
std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts);

// A table row: commands, and what the player logs while they run.
struct LogRow {
  const char* name;
  std::vector<std::string> commands;
  std::vector<std::string> log;
};

// A failing row is named by its name, not by its bytes.
inline void PrintTo(const LogRow& row, std::ostream* out) {
  *out << row.name;
}

// Test names from the rows' names.
inline std::string RowName(const testing::TestParamInfo<LogRow>& row) {
  return row.param.name;
}
