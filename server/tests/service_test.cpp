// The pages end to end: lookups as the plugin sends them, the other pages, the error answers,
// rescans and the command line, through the real server program (server_harness.h).
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"
#include "server_harness.h"

namespace {

using namespace talvo::e2e;  // NOLINT(google-build-using-namespace)

std::string ShowTarget(std::string_view title, std::string_view singer) {
  return "/kr/lyrics_plugin_show.html?title=" + std::string(title) +
         "&singer=" + std::string(singer);
}

constexpr std::string_view kGreensleeves =
    "[ti:Greensleeves]\n[ar:Traditional]\n[al:Old Songs]\n"
    "[00:01.00]Alas, my love, you do me wrong\n[00:05.50]To cast me off discourteously\n";

class ServerTest : public ServerHarness {
 protected:
  void SetUp() override {
    ServerHarness::SetUp();
    if (IsSkipped()) return;
    WriteFile(library_ / "Greensleeves.lrc", kGreensleeves);
    WriteFile(library_ / "Some Band - Night Song.txt",
              "The night is long\nand the stars are out\n\nSecond verse here\n");
    WriteFile(library_ / "korean" / "Folk Choir - 아리랑.txt",
              "아리랑 아리랑 아라리요\n아리랑 고개로 넘어간다\n");
    WriteFile(library_ / "Chanteuse - Café Rêve.txt", "Un café, un rêve\n");
    // A name with a '/' cannot be a file name: the markup comes in through .lrc tags.
    WriteFile(library_ / "markup.lrc",
              "[ti:<script>alert(1)</script>]\n[ar:Markup]\n<b>bold</b> & \"quoted\"\n");
  }
};

// The server on the fixture's library with the default options, started before each test.
class RunningServerTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    if (IsSkipped()) return;
    port_ = Start();
    ASSERT_NE(port_, 0) << Errors();
  }

  int port_ = 0;
};

struct LookupCase {
  const char* name;
  const char* codePage;
  const char* title;  // as the plugin encodes it
  const char* singer;
  const char* shows;  // a line of the page expected
};

void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

// Lookups as the plugin sends them: tag fields, captions, code-page bytes and near misses.
const LookupCase kLookups[] = {
    {"tag", "windows-1252", "Night+Song", "Some+Band", "The night is long"},
    {"lrc_tags_and_no_timestamps", "windows-1252", "Greensleeves", "Traditional",
     "Alas, my love, you do me wrong<br>"},
    {"caption", "windows-1252", "Some+Band+%2d+Night+Song", "", "The night is long"},
    {"caption_playlist_number", "windows-1252", "12%2e+Some+Band+%2d+Night+Song", "",
     "The night is long"},
    {"caption_title_only", "windows-1252", "3%2e+Greensleeves", "", "Alas, my love"},
    {"letter_case_and_spacing", "windows-1252", "NIGHT++song", "some+BAND", "The night is long"},
    {"punctuation", "windows-1252", "Night%2dSong%21", "Some+Band%2e", "The night is long"},
    {"upper_case_hex", "windows-1252", "Night%2DSong", "Some%20Band", "The night is long"},
    {"other_artist_same_title", "windows-1252", "Greensleeves", "Some+Choir", "Alas, my love"},
    {"title_with_a_version_added", "windows-1252", "Night+Song+%28Live+2009%29", "Some+Band",
     "The night is long"},
    {"caption_with_a_version_added", "windows-1252", "Greensleeves+%5bRemastered%5d", "",
     "Alas, my love"},
    {"typo_in_the_title", "windows-1252", "Nigth+Song", "Some+Band", "The night is long"},
    {"words_of_the_lyrics", "windows-1252", "cast+me+off", "", "To cast me off discourteously"},
    {"windows_1252_bytes", "windows-1252", "Caf%e9+R%eave", "Chanteuse", "Un café, un rêve"},
    {"cp949_bytes", "cp949", "%be%c6%b8%ae%b6%fb", "Folk+Choir", "아리랑 고개로 넘어간다"},
    {"cp949_caption", "cp949", "Folk+Choir+%2d+%be%c6%b8%ae%b6%fb", "", "아리랑 아리랑 아라리요"},
};

class LookupTest : public ServerTest, public testing::WithParamInterface<LookupCase> {};

TEST_P(LookupTest, ShowsTheSong) {
  const auto& param = GetParam();
  const int port = Start({"--codepage", param.codePage});
  ASSERT_NE(port, 0) << Errors();
  const auto reply = Get(port, ShowTarget(param.title, param.singer));
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.headers.find("text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(reply.body.find(param.shows), std::string::npos) << reply.body;
  EXPECT_EQ(reply.body.find("No lyrics found"), std::string::npos);
  EXPECT_EQ(reply.body.find("[00:"), std::string::npos) << "timestamps must not show";
}

INSTANTIATE_TEST_SUITE_P(Server, LookupTest, testing::ValuesIn(kLookups),
                         [](const auto& test) { return std::string(test.param.name); });

struct FileNameCase {
  const char* name;
  std::string path;  // in the library, UTF-8
  const char* title;
  const char* singer;
};

void PrintTo(const FileNameCase& c, std::ostream* os) {
  *os << c.name;
}

// Names a Windows library holds: UTF-16 there, bytes here, the same song on both.
const FileNameCase kFileNames[] = {
    {"latin_accents", "Chansons françaises/Éloïse Müller - Ça déménage.txt", "Ça déménage",
     "Éloïse Müller"},
    {"cjk", "中文歌曲/周末乐队 - 月亮代表.txt", "月亮代表", "周末乐队"},
    {"hangul", "한국 노래/가을 밴드 - 밤의 노래.txt", "밤의 노래", "가을 밴드"},
    {"emoji", "Party 🎉/Star Band - Shine 🌟.txt", "Shine 🌟", "Star Band"},
    // Past the 260 characters a path once could hold on Windows.
    {"path_over_260",
     std::string(70, 'a') + "/" + std::string(70, 'b') + "/" + std::string(70, 'c') + "/" +
         std::string(70, 'd') + "/Long Band - Deep Song.txt",
     "Deep Song", "Long Band"},
    {"spaces", "Folder With Spaces/Space Band - A Song With Spaces.txt", "A Song With Spaces",
     "Space Band"},
    {"dot_leading", ".dotted/.Dot Band - Dot Song.txt", "Dot Song", ".Dot Band"},
};

class FileNameTest : public ServerHarness, public testing::WithParamInterface<FileNameCase> {};

TEST_P(FileNameTest, ThePageFindsTheSong) {
  const auto& param = GetParam();
  const std::string words = std::string("the words of ") + param.name;
  WriteFile(library_ / param.path, words + "\n");
  const int port = Start();
  ASSERT_NE(port, 0) << Errors();
  const auto api =
      Get(port, "/api/lyrics?title=" + Encode(param.title) + "&singer=" + Encode(param.singer));
  EXPECT_NE(api.body.find("\"lyrics\":\"" + words + "\""), std::string::npos) << api.body;
  const auto search = Get(port, "/search?q=" + Encode(param.title));
  EXPECT_NE(search.body.find(param.title), std::string::npos) << search.body;
  EXPECT_EQ(Errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Server, FileNameTest, testing::ValuesIn(kFileNames),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(RunningServerTest, NotFoundSaysWhatWasSearchedAndOffersASearch) {
  const int port = port_;
  // Sharing a word with songs in the library makes them suggestions, not the answer.
  const auto reply = Get(port, ShowTarget("Unknown+Tune", "Nobody%27s+Band"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find("No lyrics found"), std::string::npos);
  EXPECT_NE(reply.body.find("<b>Unknown Tune</b> by <b>Nobody&#39;s Band</b>"), std::string::npos)
      << reply.body;
  EXPECT_NE(reply.body.find("<form action=\"/search\""), std::string::npos);
}

TEST_F(RunningServerTest, ASharedWordMakesASuggestionNotAMatch) {
  const int port = port_;
  const auto reply = Get(port, ShowTarget("Night+Train", "Other+Band"));
  EXPECT_NE(reply.body.find("No lyrics found"), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find("<h2>Similar songs</h2>"), std::string::npos);
  EXPECT_NE(reply.body.find("Night Song</a> &mdash; Some Band"), std::string::npos);
  EXPECT_EQ(reply.body.find("The night is long"), std::string::npos);
}

TEST_F(ServerTest, TheArtistsOtherSongsAreSuggested) {
  WriteFile(library_ / "Some Band - Day Song.txt", "The day is short\n");
  const int port = Start();
  ASSERT_NE(port, 0) << Errors();
  const auto reply = Get(port, ShowTarget("Night+Song", "Some+Band"));
  EXPECT_NE(reply.body.find("The night is long"), std::string::npos) << reply.body;
  EXPECT_NE(reply.body.find("<h2>Other songs</h2>"), std::string::npos);
  EXPECT_NE(reply.body.find("Day Song</a> &mdash; Some Band"), std::string::npos);
  EXPECT_EQ(reply.body.find("Night Song</a>"), std::string::npos) << "not the song itself";
}

TEST_F(ServerTest, ATagFieldIsMeasuredInTheBytesSent) {
  WriteFile(library_ / "Folk Choir - 작은 창가에 앉아 그대를 기다리는 밤과 새벽.txt",
            "창가의 노래\n");
  const int port = Start({"--codepage", "cp949"});
  ASSERT_NE(port, 0) << Errors();
  // 30 bytes of cp949, 43 as UTF-8: a tag cut it, and the song it begins is the one shown.
  const auto reply =
      Get(port, ShowTarget("%c0%db%c0%ba+%c3%a2%b0%a1%bf%a1+%be%c9%be%c6+%b1%d7%b4%eb%b8%a6+%b1%e2"
                           "%b4%d9%b8%ae",
                           "Folk+Choir"));
  EXPECT_NE(reply.body.find("창가의 노래"), std::string::npos) << reply.body;
}

TEST_F(RunningServerTest, MarkupInTheLibraryShowsAsText) {
  const int port = port_;
  const auto reply = Get(port, ShowTarget("%3cscript%3ealert%281%29%3c%2fscript%3e", "Markup"));
  EXPECT_NE(reply.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos)
      << reply.body;
  EXPECT_NE(reply.body.find("&lt;b&gt;bold&lt;/b&gt; &amp; &quot;quoted&quot;"), std::string::npos);
  EXPECT_EQ(reply.body.find("<script>"), std::string::npos);
  EXPECT_EQ(reply.body.find("<b>bold"), std::string::npos);
}

TEST_F(RunningServerTest, IndexSearchAndApi) {
  const int port = port_;
  Get(port, ShowTarget("Night+Song", "Some+Band"));

  const auto index = Get(port, "/kr/lyrics_plugin_index.html");
  EXPECT_EQ(index.status, 200);
  EXPECT_NE(index.body.find("5 songs in the library"), std::string::npos) << index.body;
  EXPECT_NE(index.body.find("Night Song &mdash; Some Band</a>"), std::string::npos);

  const auto search = Get(port, "/search?q=stars+are");
  EXPECT_EQ(search.status, 200);
  EXPECT_NE(search.body.find("Night Song</a>"), std::string::npos) << search.body;

  // UTF-8 from another client, not the code page.
  const auto api = Get(port, "/api/lyrics?title=Caf%C3%A9+R%C3%AAve&singer=Chanteuse");
  EXPECT_EQ(api.status, 200);
  EXPECT_NE(api.headers.find("application/json"), std::string::npos);
  EXPECT_NE(api.body.find("\"found\":true"), std::string::npos) << api.body;
  EXPECT_NE(api.body.find("\"lyrics\":\"Un café, un rêve\""), std::string::npos) << api.body;

  const auto missing = Get(port, "/api/lyrics?title=Nothing&singer=Nobody");
  EXPECT_NE(missing.body.find("\"found\":false"), std::string::npos) << missing.body;
}

TEST_F(ServerTest, RecentLookupsOutliveARestart) {
  int port = Start();
  ASSERT_NE(port, 0);
  Get(port, ShowTarget("Night+Song", "Some+Band"));
  server_->Signal(SIGTERM);
  ASSERT_EQ(server_->Wait(), 0);

  port = Start();
  ASSERT_NE(port, 0);
  const auto index = Get(port, "/kr/lyrics_plugin_index.html");
  EXPECT_NE(index.body.find("Night Song &mdash; Some Band</a>"), std::string::npos) << index.body;
}

struct BadRequestCase {
  const char* name;
  const char* method;
  std::string target;
  int status;
};

void PrintTo(const BadRequestCase& c, std::ostream* os) {
  *os << c.name;
}

class BadRequestTest : public RunningServerTest,
                       public testing::WithParamInterface<BadRequestCase> {};

TEST_P(BadRequestTest, AnswersShortPlainText) {
  const auto& param = GetParam();
  const int port = port_;
  const auto reply = Request(port, param.method, param.target);
  EXPECT_EQ(reply.status, param.status) << reply.headers;
  EXPECT_NE(reply.headers.find("text/plain"), std::string::npos) << reply.headers;
  EXPECT_LT(reply.body.size(), 200U);
  // The server keeps serving after it.
  EXPECT_EQ(Get(port, "/kr/lyrics_plugin_index.html").status, 200);
}

const BadRequestCase kBadRequests[] = {
    {"percent_alone", "GET", ShowTarget("%", ""), 400},
    {"percent_one_digit", "GET", ShowTarget("ab%4", "x"), 400},
    {"percent_not_hex", "GET", ShowTarget("%zz", ""), 400},
    {"percent_half_hex", "GET", ShowTarget("Night", "%4g"), 400},
    {"percent_in_key", "GET", "/kr/lyrics_plugin_show.html?ti%tle=a&singer=", 400},
    {"api_percent", "GET", "/api/lyrics?title=%G1", 400},
    {"search_percent", "GET", "/search?q=100%", 400},
    {"query_over_8_kib", "GET", ShowTarget(std::string(9000, 'a'), ""), 414},
    {"unknown_path", "GET", "/kr/lyrics_plugin_showxhtml?title=a&singer=", 404},
    {"unknown_page", "GET", "/admin", 404},
    {"no_such_song", "GET", "/song?id=999999", 404},
    {"song_id_not_a_number", "GET", "/song?id=1x", 400},
    {"post", "POST", ShowTarget("a", "b"), 405},
    {"put", "PUT", "/kr/lyrics_plugin_index.html", 405},
    {"delete", "DELETE", "/", 405},
    {"options", "OPTIONS", "/search?q=a", 405},
};

INSTANTIATE_TEST_SUITE_P(Server, BadRequestTest, testing::ValuesIn(kBadRequests),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(RunningServerTest, AnIndexThatCannotBeOpenedIsAnErrorNotAMiss) {
  // Deleted under the running server before any page opened it.
  for (const char* file : {"index.db", "index.db-wal", "index.db-shm"}) fs::remove(folder_ / file);
  for (const std::string& target :
       {ShowTarget("Night+Song", "Some+Band"), std::string("/api/lyrics?title=Night+Song"),
        std::string("/search?q=night"), std::string("/song?id=1"), std::string("/")}) {
    const auto reply = Get(port_, target);
    EXPECT_EQ(reply.status, 503) << target;
    EXPECT_EQ(reply.body, "The lyrics index cannot be opened.\n") << target;
  }
}

struct MissingFolderCase {
  const char* name;
  bool aFile;  // a file where the folder should be, else nothing there
};

void PrintTo(const MissingFolderCase& c, std::ostream* os) {
  *os << c.name;
}

class MissingFolderTest : public ServerTest,
                          public testing::WithParamInterface<MissingFolderCase> {};

// A library folder that is gone (an unplugged drive) costs its songs, not the others: one line
// names it and the server goes on.
TEST_P(MissingFolderTest, IsOneLineAndTheOtherFoldersServe) {
  const auto missing = folder_ / "unplugged";
  if (GetParam().aFile) WriteFile(missing, "not a folder\n");
  const int port = Start({"--library", missing.string()});
  ASSERT_NE(port, 0) << Errors();
  const auto errors = Errors();
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_TRUE(errors.starts_with("skipped: ")) << errors;
  EXPECT_NE(errors.find("unplugged: folder not listed: "), std::string::npos) << errors;
  EXPECT_NE(Get(port, ShowTarget("Night+Song", "Some+Band")).body.find("The night is long"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Server, MissingFolderTest,
                         testing::Values(MissingFolderCase{"nothing_there", false},
                                         MissingFolderCase{"a_file", true}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(RunningServerTest, ASecondServerOnTheSameIndexServesToo) {
  ServerProcess second({"--library", library_.string(), "--db", (folder_ / "index.db").string(),
                        "--listen", "127.0.0.1:0", "--rescan-interval", "0"},
                       folder_ / "second-stderr.txt");
  const std::string prefix = "listening on http://127.0.0.1:";
  const auto line = second.WaitFor(prefix);
  ASSERT_FALSE(line.empty()) << ReadText(folder_ / "second-stderr.txt");
  EXPECT_FALSE(second.WaitFor("indexed: 5 songs (0 read, 5 unchanged").empty());
  for (const int port : {port_, std::stoi(line.substr(prefix.size()))}) {
    EXPECT_NE(Get(port, ShowTarget("Night+Song", "Some+Band")).body.find("The night is long"),
              std::string::npos)
        << port;
  }
}

// A program of the test's own holding the index locked, as another writer would, until closed.
class IndexLock {
 public:
  explicit IndexLock(const fs::path& index) : marker_(index.string() + ".held") {
    const auto script = index.string() + ".py";
    WriteFile(script,
              "import sqlite3, sys\n"
              "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
              "db.execute('PRAGMA locking_mode = EXCLUSIVE')\n"
              "db.execute('BEGIN EXCLUSIVE')\n"
              "db.execute('CREATE TABLE held (x)')\n"
              "open(sys.argv[2], 'w').close()\n"
              "sys.stdin.read()\n");
    // It holds the lock until its input closes.
    int in[2];
    if (pipe(in) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    std::vector<std::string> words{"python3", script, index.string(), marker_.string()};
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    input_ = in[1];
    for (int waited = 0; pid_ > 0 && !fs::exists(marker_) && waited < kHangMillis; waited += 20)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~IndexLock() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  IndexLock(const IndexLock&) = delete;
  IndexLock& operator=(const IndexLock&) = delete;

  bool Held() const { return fs::exists(marker_); }

 private:
  fs::path marker_;
  pid_t pid_ = -1;
  int input_ = -1;
};

TEST_F(ServerTest, AnIndexLockedByAnotherProgramIsOneLineAndAFailure) {
  if (talvo::RunProgram({"python3", "-c", "import sqlite3"}) != 0)
    GTEST_SKIP() << "no python3 with sqlite3 to hold the index";
  const auto index = folder_ / "index.db";
  const IndexLock lock(index);
  ASSERT_TRUE(lock.Held());
  server_ = std::make_unique<ServerProcess>(
      std::vector<std::string>{"--library", library_.string(), "--db", index.string(), "--listen",
                               "127.0.0.1:0"},
      folder_ / "stderr.txt");
  EXPECT_EQ(server_->ReadLine(), "") << "nothing on stdout";
  EXPECT_EQ(server_->WaitBounded(), 1);
  const auto errors = Errors();
  EXPECT_TRUE(errors.starts_with("talvo-lyrics-server: cannot open the index ")) << errors;
  EXPECT_TRUE(errors.ends_with("index.db: database is locked\n")) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

TEST_F(RunningServerTest, MethodNotAllowedNamesTheAllowedOnes) {
  const int port = port_;
  EXPECT_NE(Request(port, "POST", "/").headers.find("Allow: GET, HEAD"), std::string::npos);
}

TEST_F(RunningServerTest, HeadAnswersWithoutABody) {
  const int port = port_;
  const auto reply = Request(port, "HEAD", ShowTarget("Night+Song", "Some+Band"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.body.empty());
}

TEST_F(RunningServerTest, RescanSeesAddedChangedAndRemovedFiles) {
  const int port = port_;
  const auto show = [&](const char* title, const char* singer) {
    return Get(port, ShowTarget(title, singer)).body;
  };
  ASSERT_NE(show("New+Song", "Late+Band").find("No lyrics found"), std::string::npos);

  WriteFile(library_ / "added" / "Late Band - New Song.txt", "Freshly added words\n");
  EXPECT_NE(Rescan().find("1 read"), std::string::npos);
  EXPECT_NE(show("New+Song", "Late+Band").find("Freshly added words"), std::string::npos);

  WriteFile(library_ / "added" / "Late Band - New Song.txt", "Words changed since, and longer\n");
  EXPECT_NE(Rescan().find("1 read"), std::string::npos);
  const auto changed = show("New+Song", "Late+Band");
  EXPECT_NE(changed.find("Words changed since"), std::string::npos);
  EXPECT_EQ(changed.find("Freshly added"), std::string::npos);

  fs::remove(library_ / "added" / "Late Band - New Song.txt");
  EXPECT_NE(Rescan().find("1 removed"), std::string::npos);
  EXPECT_NE(show("New+Song", "Late+Band").find("No lyrics found"), std::string::npos);

  // Nothing changed: nothing read again.
  EXPECT_NE(Rescan().find("(0 read, 5 unchanged"), std::string::npos);
}

TEST_F(ServerTest, AStoppedAndContinuedServerWaitsOutItsPeriod) {
  ASSERT_NE(Start({"--rescan-interval", "3600"}), 0) << Errors();
  // Resuming interrupts the wait for the next periodic rescan; it must not start one.
  server_->Signal(SIGSTOP);
  server_->Signal(SIGCONT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  WriteFile(library_ / "Late Band - New Song.txt", "Freshly added words\n");
  EXPECT_NE(Rescan().find("(1 read"), std::string::npos) << "a rescan came before the file";
}

TEST_F(ServerTest, UnreadableFilesAreSkippedAndReported) {
  ASSERT_EQ(mkfifo((library_ / "Pipe - Never Ends.lrc").c_str(), 0644), 0);
  WriteFile(library_ / "Huge - Song.txt", std::string(std::size_t{3} << 20, 'x'));
  fs::create_symlink(library_ / "gone.lrc", library_ / "Dangling - Link.lrc");
  const int port = Start();
  ASSERT_NE(port, 0) << Errors();
  const auto errors = Errors();
  EXPECT_NE(errors.find("Pipe - Never Ends.lrc"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Huge - Song.txt"), std::string::npos) << errors;
  EXPECT_NE(Get(port, ShowTarget("Night+Song", "Some+Band")).body.find("The night is long"),
            std::string::npos);
}

TEST_F(ServerTest, RescanOptionIndexesAndExits) {
  server_ = std::make_unique<ServerProcess>(
      std::vector<std::string>{"--rescan", "--library", library_.string(), "--db",
                               (folder_ / "index.db").string()},
      folder_ / "stderr.txt");
  EXPECT_EQ(server_->ReadLine(), "indexed: 5 songs (5 read, 0 unchanged, 0 removed, 0 skipped)");
  EXPECT_EQ(server_->Wait(), 0);
}

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  const char* says;  // on stderr, or on stdout for status 0
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  *os << c.name;
}

// Without --db the server opens its default index under the user's data folder: the test's own.
// The tests run one at a time, on one thread: the environment's lack of thread safety does not
// matter.
class OptionTest : public ServerTest, public testing::WithParamInterface<OptionCase> {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
    if (data != nullptr) savedData_ = data;
    setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
  void TearDown() override {
    if (savedData_) {
      setenv("XDG_DATA_HOME", savedData_->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      unsetenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
    }
    ServerTest::TearDown();
  }

 private:
  std::optional<std::string> savedData_;
};

TEST_P(OptionTest, ExitsWithAClearMessage) {
  const auto& param = GetParam();
  auto args = param.args;
  for (auto& arg : args)
    if (arg.starts_with("LIB")) arg = library_.string() + arg.substr(3);
  server_ = std::make_unique<ServerProcess>(args, folder_ / "stderr.txt");
  std::string out;
  for (std::string line; !(line = server_->ReadLine()).empty();) out += line + "\n";
  EXPECT_EQ(server_->Wait(), param.status);
  EXPECT_NE((param.status == 0 ? out : Errors()).find(param.says), std::string::npos)
      << out << Errors();
}

const OptionCase kOptions[] = {
    {"help", {"--help"}, 0, "--library DIR"},
    {"no_library", {}, 2, "no library"},
    {"library_without_folder", {"--library"}, 2, "--library needs a folder"},
    {"unknown_option", {"--library", "LIB", "--colour"}, 2, "unknown option '--colour'"},
    {"listen_without_port", {"--library", "LIB", "--listen", "localhost"}, 2, "HOST:PORT"},
    {"listen_port_too_big", {"--library", "LIB", "--listen", "127.0.0.1:70000"}, 2, "HOST:PORT"},
    {"unknown_code_page",
     {"--library", "LIB", "--codepage", "klingon-1"},
     2,
     "unknown code page 'klingon-1'"},
    {"interval_not_a_number",
     {"--library", "LIB", "--rescan-interval", "soon"},
     2,
     "--rescan-interval"},
    {"idle_timeout_zero", {"--library", "LIB", "--idle-timeout", "0"}, 2, "--idle-timeout"},
    {"import_without_file", {"--import-lrclib"}, 2, "--import-lrclib needs a dump file"},
    {"upstream_not_http",
     {"--library", "LIB", "--upstream", "ftp://x"},
     2,
     "talvo-lyrics-server: --upstream ftp://x: must begin with http:// or https://\n"},
    {"upstream_timeout_below", {"--library", "LIB", "--upstream-timeout", "0.099"}, 2, "0.1 to 60"},
    {"upstream_timeout_above",
     {"--library", "LIB", "--upstream-timeout", "60.001"},
     2,
     "0.1 to 60"},
    {"upstream_ca_missing",
     {"--library", "LIB", "--upstream", "https://127.0.0.1", "--upstream-ca", "LIB/none.pem"},
     2,
     "none.pem: no PEM certificate read"},
    // An import reads no library: without one, it is the dump that is missing.
    {"import_without_library",
     {"--import-lrclib", "LIB/none.sqlite3", "--db", "LIB/index.db"},
     1,
     "none.sqlite3 not imported"},
    {"install_startup", {"--install-startup"}, 2, "--install-startup works only on Windows"},
    {"uninstall_startup", {"--uninstall-startup"}, 2, "--uninstall-startup works only on Windows"},
};

INSTANTIATE_TEST_SUITE_P(Server, OptionTest, testing::ValuesIn(kOptions),
                         [](const auto& test) { return std::string(test.param.name); });

// The Windows server's library when none is named: the user's Music folder, which Wine keeps in
// its prefix.
TEST_F(ServerHarness, WindowsMusicFolderIsTheDefaultLibrary) {
  // The tests run one at a time, on one thread: getenv's lack of thread safety does not matter.
  const char* prefix = std::getenv("WINEPREFIX");  // NOLINT(concurrency-mt-unsafe)
  const passwd* user = getpwuid(getuid());         // NOLINT(concurrency-mt-unsafe)
  if (prefix == nullptr || user == nullptr) GTEST_SKIP() << "no WINEPREFIX or user to find it";
  // Wine names the prefix's user folder after the Unix user.
  const auto music = fs::path(prefix) / "drive_c" / "users" / user->pw_name / "Music";
  if (!fs::is_directory(music)) GTEST_SKIP() << music << " is not in the Wine prefix";
  const auto songs = music / folder_.filename();
  WriteFile(songs / "Music Band - Default Song.txt", "found in the Music folder\n");
  server_ = std::make_unique<ServerProcess>(
      std::vector<std::string>{"--db", (folder_ / "index.db").string(), "--listen", "127.0.0.1:0",
                               "--rescan-interval", "0"},
      folder_ / "stderr.txt");
  const std::string listening = "listening on http://127.0.0.1:";
  const auto line = server_->WaitFor(listening);
  const bool scanned = !line.empty() && !server_->WaitFor("indexed:").empty();
  const auto reply = scanned ? Get(std::stoi(line.substr(listening.size())),
                                   "/api/lyrics?title=Default+Song&singer=Music+Band")
                             : Reply{};
  std::error_code ec;
  fs::remove_all(songs, ec);
  ASSERT_TRUE(scanned) << Errors();
  EXPECT_NE(reply.body.find("found in the Music folder"), std::string::npos) << reply.body;
}

// The Windows server starts with the user's session through a shortcut it makes and removes;
// each step is one line and an exit status.
TEST_F(ServerHarness, WindowsStartupShortcutIsMadeAndRemoved) {
  const struct {
    const char* option;
    int status;
    const char* says;  // on stdout for status 0, else on stderr
  } steps[] = {
      {"--install-startup", 0, "startup shortcut made: "},
      {"--install-startup", 0, "startup shortcut made: "},  // a second replaces the first
      {"--uninstall-startup", 0, "startup shortcut removed: "},
      {"--uninstall-startup", 1, "talvo-lyrics-server: there is no startup shortcut at "},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.option);
    server_ = std::make_unique<ServerProcess>(
        std::vector<std::string>{step.option, "--db", (folder_ / "index.db").string()},
        folder_ / "stderr.txt");
    const auto out = server_->ReadLine();
    EXPECT_EQ(server_->WaitBounded(), step.status);
    const auto said = step.status == 0 ? out : Errors();
    EXPECT_TRUE(said.starts_with(step.says)) << said;
    EXPECT_NE(said.find("Talvo Lyrics Server.lnk"), std::string::npos) << said;
  }
}

}  // namespace
