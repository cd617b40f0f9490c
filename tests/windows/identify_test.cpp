// What the real plugin makes of real files and captions: the page it opens when each starts
// playing in the stand-in player, from the file's ID3v1 tag or else from the caption. Folders,
// devices, pipes, held files, files of 0 to 128 bytes, junk tags, files past 4 GiB, very long
// names and the longest caption are in hostile_test.cpp.
#include <optional>

#include "player_fixture.h"
#include "sandbox.h"

namespace {

struct SongRow {
  const char* name;
  std::optional<std::string> bytes;  // the file; none: there is no such file
  std::optional<std::string> caption;
  std::string query;  // the page address after "?"
};

void PrintTo(const SongRow& row, std::ostream* out) {
  *out << row.name;
}

// The caption path's title for the entry's own caption, "1. Band - Song - Winamp".
constexpr char kFromCaption[] = "title=1.+Band+%2d+Song&singer=";

std::vector<SongRow> SongRows() {
  const std::string audio(300, '\x55');
  const std::string block = Id3v1Block("Night Song", "Some Band");
  return {{"SpacePaddedFields", audio + block, {}, "title=Night+Song&singer=Some+Band"},
          {"NulPaddingKeepsSpacesBeforeIt",
           audio + Id3v1Block("Hello  ", "Band", '\0'),
           {},
           "title=Hello++&singer=Band"},
          {"FullWidthFields",
           audio + Id3v1Block("ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", "AC-DC"),
           {},
           "title=ABCDEFGHIJKLMNOPQRSTUVWXYZabcd&singer=AC%2dDC"},
          {"TitleOfSpacesKeepsItsFirst",
           audio + Id3v1Block("", "R&B=1"),
           {},
           "title=+&singer=R%26B%3d1"},
          {"BytesAbove0x7fAreEscaped",
           audio + Id3v1Block("\xc7\xd1\xb1\xdb", "a_b~c.d@e"),
           {},
           "title=%c7%d1%b1%db&singer=a%5fb%7ec.d@e"},
          {"LowerCaseMarkerIsNoTag", audio + "tag" + block.substr(3), {}, kFromCaption},
          {"MixedCaseMarkerIsNoTag", audio + "TAg" + block.substr(3), {}, kFromCaption},
          {"TagBeforeTheLastByteIsNoTag", audio + block + "x", {}, kFromCaption},
          {"MissingFileTakesTheCaption", {}, {}, kFromCaption},
          {"CaptionMarkerInCapitals", audio, "Song - WINAMP", "title=Song&singer="},
          {"CaptionSpacesAndTextAroundMarker", audio, "Song   - Winamp more text",
           "title=Song&singer="},
          {"CaptionMarkerWithoutSpace", audio, "Song- Winamp", "title=Song&singer="},
          {"CaptionLastMarkerCuts", audio, "a - Winamp - Winamp", "title=a+%2d+Winamp&singer="},
          {"CaptionWithoutMarkerIsEmpty", audio, "Song", "title=&singer="},
          {"CaptionPunctuationIsEscaped", audio, "100% R&B a@b.c - Winamp",
           "title=100%25+R%26B+a@b.c&singer="},
          // The caption is read into 2048 bytes: the marker past them is never seen.
          {"CaptionMarkerPastTheReadIsNotSeen", audio, std::string(3000, 'x') + " - Winamp",
           "title=&singer="}};
}

class Songs : public PlayerTest, public testing::WithParamInterface<SongRow> {};

TEST_P(Songs, OpenThePageOfTheirTagOrCaption) {
  const SongRow& row = GetParam();
  const std::string file = std::string(row.name) + ".mp3";
  if (row.bytes) {
    ASSERT_TRUE(Sandbox::Get().Write(file, *row.bytes));
  }
  std::vector<std::string> commands = {R"(add "{dir}\)" + file + "\" Band - Song", "play 1"};
  if (row.caption) commands.push_back("caption " + *row.caption);
  commands.insert(commands.end(), {"send WM_COMMAND 0 0", "pump"});

  const std::string address = std::string(kShowPage) + "?" + row.query;
  Run({"init", "pump"});
  EXPECT_EQ(Join(Only(Run(commands), {"debug", "browser"})),
            Join({"debug " + address, "browser " + address}));
}

INSTANTIATE_TEST_SUITE_P(Identify, Songs, testing::ValuesIn(SongRows()),
                         [](const testing::TestParamInfo<SongRow>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
