// The real plugin's watcher inside the stand-in player: which messages run the check, that every
// message reaches the player's procedure unchanged with its result returned, and which changes
// of the playing file open a page. Queries re-enter through real SendMessage calls.
#include "player_fixture.h"

namespace {

constexpr char kPlainPage[] = "{show}?title=2.+Other+Band+%2d+Day+Song&singer=";
constexpr char kLongPage[] = "{show}?title=1.+Long+%2d+Name&singer=";

std::vector<std::string> Started() {
  return {"init", "pump"};
}

// The player already had the tagged song's page opened; it answers 41 to what it does not know.
std::vector<std::string> Settled() {
  return {"init", "pump", kAddTagged, "play 1", "send WM_COMMAND 0 0", "pump", "answer 41"};
}

std::string Debug(const char* page) {
  return std::string("debug ") + page;
}

std::string Browser(const char* page) {
  return std::string("browser ") + page;
}

std::vector<LogRow> FilterRows() {
  return {
      {"PlayingQueryPassesUnchecked",
       {"send WM_WA_IPC 0 IPC_ISPLAYING"},
       {"query playing -> 1", "sent 0x0400 0 104 -> 1"}},
      {"PositionQueryPassesUnchecked",
       {"send WM_WA_IPC 0 IPC_GETLISTPOS"},
       {"query position -> 0", "sent 0x0400 0 125 -> 0"}},
      {"FileQueryPassesUnchecked",
       {"send WM_WA_IPC 0 IPC_GETPLAYLISTFILE"},
       {R"(query file 0 -> {dir}\night.mp3)", R"(sent 0x0400 0 211 -> {dir}\night.mp3)"}},
      {"CaptionReadPassesUnchecked",
       {"gettext 64"},
       {"caption -> 1. Some Band - Night Song - Winamp",
        "gettext -> 1. Some Band - Night Song - Winamp"}},
      {"GetTextMessagePassesUnchecked",
       {"send WM_GETTEXT 0 0"},
       {"caption -> ", "sent 0x000d 0 0 -> 0"}},
      {"BrowserRequestIsChecked",
       {"send WM_WA_IPC 0 IPC_MBOPEN"},
       Cat({Checked(0, "night.mp3"), {"browser open", "sent 0x0400 0 241 -> 41"}})},
      {"OtherPlayerRequestIsChecked",
       {"send WM_WA_IPC 0 105"},
       Cat({Checked(0, "night.mp3"), {"message 0x0400 0 105 -> 41", "sent 0x0400 0 105 -> 41"}})},
      {"QueryCodeInWParamIsChecked",
       {"send WM_WA_IPC 104 0"},
       Cat({Checked(0, "night.mp3"), {"message 0x0400 104 0 -> 41", "sent 0x0400 104 0 -> 41"}})},
      {"QueryCodeWithAnotherMessageIsChecked",
       {"send 0x0401 0 104"},
       Cat({Checked(0, "night.mp3"), {"message 0x0401 0 104 -> 41", "sent 0x0401 0 104 -> 41"}})},
      {"SetTextIsChecked",
       {"send WM_SETTEXT 0 0"},
       Cat({Checked(0, "night.mp3"), {"message 0x000c 0 0 -> 41", "sent 0x000c 0 0 -> 41"}})},
      {"GetTextLengthIsChecked",
       {"send WM_GETTEXTLENGTH 0 0"},
       Cat({Checked(0, "night.mp3"), {"message 0x000e 0 0 -> 41", "sent 0x000e 0 0 -> 41"}})},
      {"PostedMessageIsChecked",
       {"post WM_COMMAND 7 8", "pump"},
       Cat({{"posted 0x0111 7 8"},
            Checked(0, "night.mp3"),
            {"message 0x0111 7 8 -> 41", "pumped 1"}})},
      {"ExtremeParametersAndResultPassUnchanged",
       {"answer -7", "send 0x8001 4294967295 -1"},
       Cat({Checked(0, "night.mp3"),
            {"message 0x8001 4294967295 -1 -> -7", "sent 0x8001 4294967295 -1 -> -7"}})},
  };
}

std::vector<LogRow> TrackingRows() {
  return {
      {"TaggedSongOpensItsPage",
       {kAddTagged, "play 1", "send WM_COMMAND 5 6", "pump", "send WM_COMMAND 5 6"},
       Cat({Checked(0, "night.mp3"),
            {Debug(kTaggedPage), "message 0x0111 5 6 -> 0", "sent 0x0111 5 6 -> 0"},
            Checked(0, "night.mp3"),
            {Browser(kTaggedPage), "pumped 1"},
            Checked(0, "night.mp3"),
            {"message 0x0111 5 6 -> 0", "sent 0x0111 5 6 -> 0"}})},
      {"UntaggedSongOpensThePageOfItsCaption",
       {kAddTagged, kAddPlain, "play 2", "send WM_COMMAND 5 6", "pump"},
       Cat({Checked(1, "plain.mp3"),
            {"caption -> 2. Other Band - Day Song - Winamp", Debug(kPlainPage),
             "message 0x0111 5 6 -> 0", "sent 0x0111 5 6 -> 0"},
            Checked(1, "plain.mp3"),
            {Browser(kPlainPage), "pumped 1"}})},
      {"StoppedPlayerIsOnlyAskedWhetherItPlays",
       {kAddTagged, "play 1", "stop", "send WM_COMMAND 5 6"},
       {"query playing -> 0", "message 0x0111 5 6 -> 0", "sent 0x0111 5 6 -> 0"}},
      {"PausedPlayerIsOnlyAskedWhetherItPlays",
       {kAddTagged, "play 1", "pause", "send WM_COMMAND 5 6"},
       {"query playing -> 3", "message 0x0111 5 6 -> 0", "sent 0x0111 5 6 -> 0"}},
      {"NullFileNameEndsTheCheck",
       {kAddTagged, "play 1", "clear", "send WM_COMMAND 5 6", "pump"},
       {"query playing -> 1", "query position -> 0", "query file 0 -> null",
        "message 0x0111 5 6 -> 0", "sent 0x0111 5 6 -> 0", "pumped 0"}},
  };
}

// A name of exactly `length` bytes that need not exist; `last` tells two of them apart.
std::string LongName(std::size_t length, char last) {
  const std::string folder = "C:\\music\\";
  return folder + std::string(length - folder.size() - 5, 'x') + last + ".mp3";
}

std::string AddLong(std::size_t length, char last) {
  return "add \"" + LongName(length, last) + "\" Long - Name";
}

std::vector<std::string> Page(const char* address) {
  return {Debug(address), Browser(address)};
}

// Pages only: "debug" as the plugin writes them, "browser" as the player handles the requests.
std::vector<LogRow> LastFileRows() {
  const std::vector<std::string> send = {"send WM_COMMAND 0 0", "pump"};
  return {
      {"SameFileOpensOnce",
       Cat({{kAddTagged, "play 1"}, send, send, {"post WM_TIMER 0 0", "pump"}}), Page(kTaggedPage)},
      {"FileAThenBThenAOpensThree",
       Cat({{kAddTagged, kAddPlain, "play 1"}, send, {"play 2"}, send, {"play 1"}, send}),
       Cat({Page(kTaggedPage), Page(kPlainPage), Page(kTaggedPage)})},
      {"NamesDifferingInCaseAreTwoFiles",
       Cat({{kAddTagged, R"(add "{dir}\NIGHT.MP3" Some Band - Night Song)", "play 1"},
            send,
            {"play 2"},
            send}),
       Cat({Page(kTaggedPage), Page(kTaggedPage)})},
      {"SameFileInAnotherEntryOpensNothing",
       Cat({{kAddTagged, kAddTagged, "play 1"}, send, {"play 2"}, send}), Page(kTaggedPage)},
      {"NotPlayingOpensNothing", Cat({{kAddTagged}, send}), {}},
      {"PausedOpensNothing", Cat({{kAddTagged, "play 1", "pause"}, send}), {}},
      {"StopForgetsNothing", Cat({{kAddTagged, "play 1"}, send, {"stop"}, send, {"play 1"}, send}),
       Page(kTaggedPage)},
      {"NullNameOpensNothing", Cat({{kAddTagged, "play 1", "clear"}, send}), {}},
      {"NullNameForgetsNothing",
       Cat({{kAddTagged, "play 1"}, send, {"clear"}, send, {kAddTagged, "play 1"}, send}),
       Page(kTaggedPage)},
      // A request carries a pointer into the plugin's one address buffer, read when handled.
      {"RequestsReadTheAddressWhenHandled",
       {kAddTagged, kAddPlain, "play 1", "send WM_COMMAND 0 0", "play 2", "send WM_COMMAND 0 0",
        "pump"},
       {Debug(kTaggedPage), Debug(kPlainPage), Browser(kPlainPage), Browser(kPlainPage)}},
      // One long name on its own, 255 to 4,000 bytes, opens once: hostile_test.cpp.
      {"LongNamesDifferingAtTheEndAreTwoFiles",
       Cat({{AddLong(300, 'a'), AddLong(300, 'b'), "play 1"},
            send,
            {"play 2"},
            send,
            {"play 1"},
            send}),
       Cat({Page(kLongPage), Page("{show}?title=2.+Long+%2d+Name&singer="), Page(kLongPage)})},
  };
}

class Filter : public PlayerTest, public testing::WithParamInterface<LogRow> {};
class Tracking : public PlayerTest, public testing::WithParamInterface<LogRow> {};
class LastFile : public PlayerTest, public testing::WithParamInterface<LogRow> {};

TEST_P(Filter, OnlyTheChecksOwnMessagesPassUnchecked) {
  Run(Settled());
  EXPECT_EQ(Join(Run(GetParam().commands)), Join(ExpandHere(GetParam().log)));
}

TEST_P(Tracking, LogsWhatThePlayerSaw) {
  Run(Started());
  EXPECT_EQ(Join(Run(GetParam().commands)), Join(ExpandHere(GetParam().log)));
}

TEST_P(LastFile, OpensAPageOnlyForANewFile) {
  Run(Started());
  EXPECT_EQ(Join(Only(Run(GetParam().commands), {"debug", "browser"})),
            Join(ExpandHere(GetParam().log)));
}

INSTANTIATE_TEST_SUITE_P(Watcher, Filter, testing::ValuesIn(FilterRows()), RowName);
INSTANTIATE_TEST_SUITE_P(Watcher, Tracking, testing::ValuesIn(TrackingRows()), RowName);
INSTANTIATE_TEST_SUITE_P(Watcher, LastFile, testing::ValuesIn(LastFileRows()), RowName);

}  // namespace
