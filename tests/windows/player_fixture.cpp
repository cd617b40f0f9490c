#include "player_fixture.h"

#include <algorithm>

#include "sandbox.h"

namespace {

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

std::string Expand(std::string_view text) {
  std::string expanded = ReplaceAll(std::string(text), "{dir}", Sandbox::Get().folder());
  expanded = ReplaceAll(expanded, "{show}", kShowPage);
  return ReplaceAll(expanded, "{index}", kIndexPage);
}

std::string Join(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += line + "\n";
  return joined;
}

std::vector<std::string> Only(const std::vector<std::string>& lines,
                              const std::vector<std::string>& kinds) {
  std::vector<std::string> kept;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept), [&](const std::string& line) {
    return std::any_of(kinds.begin(), kinds.end(), [&](const std::string& kind) {
      return line.compare(0, kind.size() + 1, kind + " ") == 0;
    });
  });
  return kept;
}

std::vector<std::string> Checked(int position, std::string_view file) {
  const std::string entry = std::to_string(position);
  return {"query playing -> 1", "query position -> " + entry,
          "query file " + entry + " -> {dir}\\" + std::string(file)};
}

std::vector<std::string> Cat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> lines;
  for (const auto& part : parts) lines.insert(lines.end(), part.begin(), part.end());
  return lines;
}

void PlayerTest::SetUp() {
  const Sandbox& sandbox = Sandbox::Get();
  ASSERT_TRUE(
      sandbox.Write("night.mp3", std::string(400, '\xff') + Id3v1Block("Night Song", "Some Band")));
  ASSERT_TRUE(sandbox.Write("plain.mp3", std::string(400, '\xff')));
  ASSERT_TRUE(player_.created()) << "the stand-in player has no window";
  pluginName_ = Sandbox::Get().CopyPlugin();
  ASSERT_FALSE(pluginName_.empty()) << "cannot copy " << BesideProgram("gen_talvolyrics.dll");
  std::string error;
  ASSERT_TRUE(player_.Load(Sandbox::Get().Path(pluginName_), error)) << error;
}

std::string PlayerTest::ExpandHere(std::string_view text) const {
  return ReplaceAll(Expand(text), "{plugin}", pluginName_);
}

std::vector<std::string> PlayerTest::ExpandHere(const std::vector<std::string>& lines) const {
  std::vector<std::string> expanded;
  expanded.reserve(lines.size());
  for (const std::string& line : lines) expanded.push_back(ExpandHere(line));
  return expanded;
}

std::vector<std::string> PlayerTest::Run(const std::vector<std::string>& commands) {
  const std::size_t first = log_.lines().size();
  for (const std::string& text : commands) {
    Command command;
    std::string error;
    if (!ParseCommand(ExpandHere(text), command, error) || !runner_.Run(command, error)) {
      ADD_FAILURE() << text << ": " << error;
      break;
    }
  }
  return {log_.lines().begin() + static_cast<std::ptrdiff_t>(first), log_.lines().end()};
}
