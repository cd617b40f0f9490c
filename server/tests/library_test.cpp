#include "sources/library.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/oggpage.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/tbytevectorlist.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "test_song.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, std::string_view bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << file;
}

CodePage Page(const char* name) {
  auto page = CodePage::Open(name);
  EXPECT_TRUE(page.has_value()) << name;
  return page.value_or(*CodePage::Open("windows-1252"));
}

// --- Small real audio files; the test writes tags into them with TagLib. ---

// A few silent MPEG-1 Layer III frames: 128 kbit/s, 44.1 kHz, 417 bytes each.
void WriteMp3(const fs::path& file) {
  std::string frame(417, '\0');
  frame[0] = '\xFF';
  frame[1] = '\xFB';
  frame[2] = '\x90';
  frame[3] = '\x44';
  std::string bytes;
  for (int i = 0; i < 6; ++i) bytes += frame;
  WriteBytes(file, bytes);
}

// "fLaC" and a STREAMINFO block: 4096-sample blocks, 44.1 kHz, stereo, 16 bits, no frames; seconds
// is the length STREAMINFO gives.
void WriteFlac(const fs::path& file, unsigned seconds = 0) {
  std::string bytes = "fLaC";
  bytes += std::string("\x80\x00\x00\x22", 4);  // last block, STREAMINFO, 34 bytes
  bytes += std::string("\x10\x00\x10\x00", 4);  // min and max block size
  bytes += std::string(6, '\0');                // min and max frame size: unknown
  bytes += std::string("\x0A\xC4\x42\xF0", 4);  // 44100 Hz, 2 channels, 16 bits, samples...
  const TagLib::ByteVector samples = TagLib::ByteVector::fromUInt(seconds * 44100);
  bytes += std::string(samples.data(), samples.size());  // ...the samples
  bytes += std::string(16, '\0');                        // MD5
  WriteBytes(file, bytes);
}

// An Ogg Vorbis stream with its three header packets and no audio.
void WriteOggVorbis(const fs::path& file) {
  TagLib::ByteVector id("\x01vorbis", 7);
  id.append(TagLib::ByteVector::fromUInt(0, false));  // version
  id.append(static_cast<char>(2));                    // channels
  id.append(TagLib::ByteVector::fromUInt(44100, false));
  id.append(TagLib::ByteVector::fromUInt(0, false));  // bitrates
  id.append(TagLib::ByteVector::fromUInt(128000, false));
  id.append(TagLib::ByteVector::fromUInt(0, false));
  id.append(static_cast<char>(0xB8));  // block sizes
  id.append(static_cast<char>(1));     // framing
  TagLib::ByteVector comment("\x03vorbis", 7);
  comment.append(TagLib::ByteVector::fromUInt(0, false));  // vendor length
  comment.append(TagLib::ByteVector::fromUInt(0, false));  // no fields
  comment.append(static_cast<char>(1));
  TagLib::ByteVector setup("\x05vorbis", 7);
  setup.append(TagLib::ByteVector(8, '\0'));

  TagLib::ByteVectorList first;
  first.append(id);
  TagLib::ByteVectorList second;
  second.append(comment);
  second.append(setup);
  std::string bytes;
  int pageNumber = 0;
  for (const TagLib::ByteVectorList* packets : {&first, &second}) {
    auto pages = TagLib::Ogg::Page::paginate(*packets, TagLib::Ogg::Page::SinglePagePerGroup, 1234,
                                             pageNumber);
    for (TagLib::Ogg::Page* page : pages) {
      const TagLib::ByteVector rendered = page->render();
      bytes.append(rendered.data(), rendered.size());
      delete page;
      ++pageNumber;
    }
  }
  WriteBytes(file, bytes);
}

std::string Atom(const char* type, const std::string& body) {
  const auto size = static_cast<unsigned>(8 + body.size());
  const TagLib::ByteVector length = TagLib::ByteVector::fromUInt(size);
  return std::string(length.data(), length.size()) + type + body;
}

// "ftyp" and a "moov" with just a movie header.
void WriteMp4(const fs::path& file) {
  std::string mvhd(100, '\0');
  mvhd[15] = '\x01';  // time scale 1... (bytes 12-15)
  WriteBytes(file, Atom("ftyp", std::string("M4A \0\0\0\0M4A isom", 16)) +
                       Atom("moov", Atom("mvhd", mvhd)));
}

void TagMp3(const fs::path& file, const std::string& title, const std::string& artist,
            TagLib::ID3v2::Frame* lyrics) {
  TagLib::MPEG::File mp3(file.c_str(), false);
  ASSERT_TRUE(mp3.isValid());
  TagLib::ID3v2::Tag* tag = mp3.ID3v2Tag(true);
  tag->setTitle(TagLib::String(title, TagLib::String::UTF8));
  tag->setArtist(TagLib::String(artist, TagLib::String::UTF8));
  tag->setAlbum("The Album");
  if (lyrics != nullptr) tag->addFrame(lyrics);
  ASSERT_TRUE(mp3.save());
}

TagLib::ID3v2::Frame* Uslt(const std::string& text, TagLib::String::Type encoding) {
  auto* frame = new TagLib::ID3v2::UnsynchronizedLyricsFrame(encoding);
  frame->setText(TagLib::String(
      text, encoding == TagLib::String::Latin1 ? TagLib::String::Latin1 : TagLib::String::UTF8));
  return frame;
}

struct SyltEntry {
  unsigned time;
  std::string text;
};

TagLib::ID3v2::Frame* Sylt(const std::vector<SyltEntry>& entries,
                           TagLib::ID3v2::SynchronizedLyricsFrame::TimestampFormat format =
                               TagLib::ID3v2::SynchronizedLyricsFrame::AbsoluteMilliseconds) {
  auto* frame = new TagLib::ID3v2::SynchronizedLyricsFrame(TagLib::String::UTF8);
  frame->setType(TagLib::ID3v2::SynchronizedLyricsFrame::Lyrics);
  frame->setTimestampFormat(format);
  TagLib::ID3v2::SynchronizedLyricsFrame::SynchedTextList list;
  for (const SyltEntry& entry : entries) {
    list.append({entry.time, TagLib::String(entry.text, TagLib::String::UTF8)});
  }
  frame->setSynchedText(list);
  return frame;
}

void TagXiph(TagLib::Ogg::XiphComment* comment, const char* field, const std::string& lyrics) {
  comment->setTitle(TagLib::String("Xiph Title", TagLib::String::UTF8));
  comment->setArtist("Xiph Artist");
  comment->addField(field, TagLib::String(lyrics, TagLib::String::UTF8));
}

class LibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "talvo-library-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    lib_ = dir_ / "lib";
    fs::create_directories(lib_);
    std::string error;
    store_ = Store::Open((dir_ / "index.db").string(), error);
    ASSERT_NE(store_, nullptr) << error;
  }
  void TearDown() override {
    store_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // The one song a file gives, failing the test when it gives none or several.
  static Song ReadOne(const fs::path& file, const CodePage& page) {
    std::vector<Song> songs;
    std::string problem;
    EXPECT_TRUE(ReadLyricsFile(file, page, songs, problem)) << file << ": " << problem;
    EXPECT_EQ(songs.size(), 1U) << file;
    return songs.empty() ? Song{} : songs.front();
  }

  ScanReport Scan(const std::vector<fs::path>& folders) {
    return ScanLibrary(*store_, folders, cp1252_);
  }

  fs::path dir_;
  fs::path lib_;
  std::unique_ptr<Store> store_;
  CodePage cp1252_ = Page("windows-1252");
};

TEST(IsLibraryFile, ByExtensionWhateverItsCase) {
  struct Case {
    const char* name;
    bool library;
  };
  const Case cases[] = {
      {"a.lrc", true},       {"a.LRC", true},      {"a.txt", true},   {"a.Txt", true},
      {"a.mp3", true},       {"a.MP3", true},      {"a.flac", true},  {"a.ogg", true},
      {"a.oga", true},       {"a.opus", true},     {"a.m4a", true},   {"a.mp4", true},
      {"dir/x.y.lrc", true}, {"a.lrc.bak", false}, {"a.lrcx", false}, {"a.wav", false},
      {"lrc", false},        {".lrc", false},      {"a.", false},     {"", false},
      {"a.jpg", false},      {"a.m4b", false},     {"mp3", false},    {"a.tx", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLibraryFile(c.name), c.library) << c.name;
}

// --- Text files ---

TEST_F(LibraryTest, LrcNamesFromItsTagsElseItsFileName) {
  struct Case {
    const char* name;
    std::string text;
    Song expected;
  };
  const std::string words = "[00:01.00]first line\n[00:02.00]second line\n";
  const Case cases[] = {
      {"whatever.lrc", "[ti:Tagged]\n[ar:The Band]\n[al:Record]\n" + words,
       MakeSong("Tagged", "The Band", "first line\nsecond line", "Record")},
      {"The Band - From Name.lrc", words,
       MakeSong("From Name", "The Band", "first line\nsecond line")},
      {"07. The Band - Numbered.lrc", words,
       MakeSong("Numbered", "The Band", "first line\nsecond line")},
      {"Only A Title.lrc", words, MakeSong("Only A Title", "", "first line\nsecond line")},
      // a tag wins over the name; the name fills the other
      {"Name Band - Name Title.lrc", "[ar:Tag Band]\n" + words,
       MakeSong("Name Title", "Tag Band", "first line\nsecond line")},
      {"Name Band - Name Title.lrc", "[ti:Tag Title]\n" + words,
       MakeSong("Tag Title", "Name Band", "first line\nsecond line")},
      {"UPPER.LRC", words, MakeSong("UPPER", "", "first line\nsecond line")},
  };
  for (const Case& c : cases) {
    const fs::path file = lib_ / c.name;
    WriteBytes(file, c.text);
    const Song song = ReadOne(file, cp1252_);
    EXPECT_EQ(song.title, c.expected.title) << c.name;
    EXPECT_EQ(song.artist, c.expected.artist) << c.name;
    EXPECT_EQ(song.album, c.expected.album) << c.name;
    EXPECT_EQ(song.lyrics, c.expected.lyrics) << c.name;
    fs::remove(file);
  }
}

TEST_F(LibraryTest, TxtNamesFromItsFileName) {
  struct Case {
    const char* name;
    const char* title;
    const char* artist;
  };
  const Case cases[] = {
      {"Artist - Title.txt", "Title", "Artist"},
      {"12. Artist - Title.txt", "Title", "Artist"},
      {"3.Artist - Title.txt", "Title", "Artist"},
      {"AC-DC - Back - In Black.txt", "Back - In Black", "AC-DC"},  // the first " - " splits
      {"Just A Title.txt", "Just A Title", ""},
      {"2.0 Remix.txt", "2.0 Remix", ""},  // a name, not a playlist number
      {"Artist-Title.txt", "Artist-Title", ""},
      {" - Title.txt", " - Title", ""},  // no artist: not a split
      {"Song.TXT", "Song", ""},
  };
  for (const Case& c : cases) {
    const fs::path file = lib_ / c.name;
    WriteBytes(file, "\n\nsome words   \r\nmore words\r\n\n\n");
    const Song song = ReadOne(file, cp1252_);
    EXPECT_EQ(song.title, c.title) << c.name;
    EXPECT_EQ(song.artist, c.artist) << c.name;
    EXPECT_EQ(song.lyrics, "some words\nmore words") << c.name;
    fs::remove(file);
  }
}

TEST_F(LibraryTest, TextDecodedByMarkElseUtf8ElseTheCodePage) {
  struct Case {
    const char* page;
    std::string bytes;
    const char* lyrics;
  };
  const Case cases[] = {
      {"windows-1252", "Caf\xE9 au lait", "Café au lait"},
      {"cp949", "\xBB\xE7\xB6\xFB\xC7\xD8", "사랑해"},
      {"cp949", "Caf\xC3\xA9", "Café"},  // valid UTF-8 is taken as such
      {"cp949", "\xEF\xBB\xBFUTF-8 with a mark", "UTF-8 with a mark"},
      {"windows-1252",
       std::string("\xFF\xFE"
                   "C\0a\0f\0\xE9\0\n\0\xAC\xC0\x91\xB7",
                   16),
       "Café\n사랑"},
      {"windows-1252", std::string("\xFE\xFF\0C\0a\0f\0\xE9", 10), "Café"},
  };
  for (const Case& c : cases) {
    const fs::path file = lib_ / "Artist - Title.txt";
    WriteBytes(file, c.bytes);
    EXPECT_EQ(ReadOne(file, Page(c.page)).lyrics, c.lyrics) << c.page << " " << c.lyrics;
  }
  // A name in the code page, as copied from a Windows disk.
  const fs::path named = lib_ / "Caf\xE9 - Ol\xE9.lrc";
  WriteBytes(named, "[00:01]la");
  const Song song = ReadOne(named, cp1252_);
  EXPECT_EQ(song.artist, "Café");
  EXPECT_EQ(song.title, "Olé");
}

TEST_F(LibraryTest, TimestampedTxtReadsAsLrc) {
  const fs::path file = lib_ / "A - B.txt";
  WriteBytes(file, "[00:01.00]one\n[00:02.00]two\n");
  const Song song = ReadOne(file, cp1252_);
  EXPECT_EQ(song.lyrics, "one\ntwo");
  EXPECT_EQ(song.synced, "[00:01.00] one\n[00:02.00] two");
}

TEST_F(LibraryTest, AnInstrumentalIsASongWithoutWords) {
  for (const char* name : {"A - Theme.lrc", "A - Theme.txt"}) {
    WriteBytes(lib_ / name, "[ti:Theme]\n[au: instrumental]\n");
    const Song song = ReadOne(lib_ / name, cp1252_);
    EXPECT_TRUE(song.instrumental) << name;
    EXPECT_EQ(song.title, "Theme") << name;
    EXPECT_EQ(song.lyrics, "") << name;
    fs::remove(lib_ / name);
  }
}

TEST_F(LibraryTest, NoLyricsIsNoSongYetNoProblem) {
  const std::pair<const char*, std::string> cases[] = {
      {"empty.lrc", ""},
      {"tags only.lrc", "[ti:Title]\n[ar:Artist]\n"},
      {"stamps only.lrc", "[00:01.00]\n[00:02.00]\n"},
      {"blank.txt", "\n \r\n\t\n"},
      {"mark.txt", "\xEF\xBB\xBF"},
  };
  for (const auto& [name, bytes] : cases) {
    const fs::path file = lib_ / name;
    WriteBytes(file, bytes);
    std::vector<Song> songs{MakeSong("stale", "", "")};
    std::string problem;
    EXPECT_TRUE(ReadLyricsFile(file, cp1252_, songs, problem)) << name << ": " << problem;
    EXPECT_TRUE(songs.empty()) << name;
  }
}

TEST_F(LibraryTest, UnreadableFilesAreProblemsNotFailures) {
  fs::create_directories(lib_ / "folder.lrc");
  ASSERT_EQ(mkfifo((lib_ / "pipe.lrc").c_str(), 0644), 0);
  fs::create_symlink(lib_ / "nowhere.lrc", lib_ / "dangling.lrc");
  WriteBytes(lib_ / "big.txt", std::string((std::size_t{1} << 20) + 1, 'a'));
  WriteBytes(lib_ / "empty.flac", "");
  WriteBytes(lib_ / "short.m4a", "\0\0\0\x08");
  for (const char* name : {"folder.lrc", "pipe.lrc", "dangling.lrc", "big.txt", "empty.flac",
                           "short.m4a", "missing.lrc", "unknown.xyz"}) {
    std::vector<Song> songs;
    std::string problem;
    EXPECT_FALSE(ReadLyricsFile(lib_ / name, cp1252_, songs, problem)) << name;
    EXPECT_NE(problem, "") << name;
    EXPECT_TRUE(songs.empty()) << name;
  }
  // Exactly at the limit is still read.
  WriteBytes(lib_ / "A - Limit.txt", std::string(std::size_t{1} << 20, 'a'));
  EXPECT_EQ(ReadOne(lib_ / "A - Limit.txt", cp1252_).title, "Limit");
}

// --- Embedded lyrics ---

TEST_F(LibraryTest, Mp3UnsynchronisedLyrics) {
  const fs::path file = lib_ / "01 track.mp3";
  WriteMp3(file);
  TagMp3(file, "Tagged Title", "Tagged Artist",
         Uslt("first line\nsecond line\n", TagLib::String::UTF16));
  const std::string before = ReadBytes(file);
  const Song song = ReadOne(file, cp1252_);
  EXPECT_EQ(song.title, "Tagged Title");
  EXPECT_EQ(song.artist, "Tagged Artist");
  EXPECT_EQ(song.album, "The Album");
  EXPECT_EQ(song.lyrics, "first line\nsecond line");
  EXPECT_EQ(ReadBytes(file), before);  // the library is only read
}

TEST_F(LibraryTest, Mp3LegacyBytesGoThroughTheCodePage) {
  const fs::path file = lib_ / "track.mp3";
  WriteMp3(file);
  TagMp3(file, "T", "A", Uslt("\xBB\xE7\xB6\xFB", TagLib::String::Latin1));
  EXPECT_EQ(ReadOne(file, Page("cp949")).lyrics, "사랑");
  EXPECT_EQ(ReadOne(file, cp1252_).lyrics, "»ç¶û");
}

TEST_F(LibraryTest, AudioWithoutLyricsIsNoSong) {
  const fs::path file = lib_ / "track.mp3";
  WriteMp3(file);
  TagMp3(file, "T", "A", nullptr);
  std::vector<Song> songs;
  std::string problem;
  EXPECT_TRUE(ReadLyricsFile(file, cp1252_, songs, problem)) << problem;
  EXPECT_TRUE(songs.empty());
  // MPEG streams are not checked without reading audio properties: junk is an untagged file.
  WriteBytes(lib_ / "junk.mp3", "this is not audio");
  EXPECT_TRUE(ReadLyricsFile(lib_ / "junk.mp3", cp1252_, songs, problem)) << problem;
  EXPECT_TRUE(songs.empty());
  const fs::path bare = lib_ / "bare.mp3";
  WriteMp3(bare);
  EXPECT_TRUE(ReadLyricsFile(bare, cp1252_, songs, problem)) << problem;
  EXPECT_TRUE(songs.empty());
}

TEST_F(LibraryTest, FlacXiphLyrics) {
  for (const char* field : {"LYRICS", "UNSYNCEDLYRICS"}) {
    const fs::path file = lib_ / "track.flac";
    WriteFlac(file);
    {
      TagLib::FLAC::File flac(file.c_str(), false);
      ASSERT_TRUE(flac.isValid());
      TagXiph(flac.xiphComment(true), field, "flac words\n");
      ASSERT_TRUE(flac.save());
    }
    const Song song = ReadOne(file, cp1252_);
    EXPECT_EQ(song.title, "Xiph Title") << field;
    EXPECT_EQ(song.artist, "Xiph Artist") << field;
    EXPECT_EQ(song.lyrics, "flac words") << field;
  }
}

TEST_F(LibraryTest, OggVorbisLyrics) {
  const fs::path file = lib_ / "track.ogg";
  WriteOggVorbis(file);
  {
    TagLib::Ogg::Vorbis::File ogg(file.c_str(), false);
    ASSERT_TRUE(ogg.isValid());
    TagXiph(ogg.tag(), "LYRICS", "[00:01.00]ogg words");
    ASSERT_TRUE(ogg.save());
  }
  const Song song = ReadOne(file, cp1252_);
  EXPECT_EQ(song.title, "Xiph Title");
  EXPECT_EQ(song.lyrics, "ogg words");
  // The same stream under another of its extensions.
  fs::copy_file(file, lib_ / "track.oga");
  EXPECT_EQ(ReadOne(lib_ / "track.oga", cp1252_).lyrics, "ogg words");
}

TEST_F(LibraryTest, Mp4Lyrics) {
  const fs::path file = lib_ / "track.m4a";
  WriteMp4(file);
  {
    TagLib::MP4::File mp4(file.c_str(), false);
    ASSERT_TRUE(mp4.isValid());
    mp4.tag()->setTitle("Mp4 Title");
    mp4.tag()->setArtist("Mp4 Artist");
    mp4.tag()->setItem("\251lyr", TagLib::StringList(TagLib::String("mp4 words")));
    ASSERT_TRUE(mp4.save());
  }
  const Song song = ReadOne(file, cp1252_);
  EXPECT_EQ(song.title, "Mp4 Title");
  EXPECT_EQ(song.artist, "Mp4 Artist");
  EXPECT_EQ(song.lyrics, "mp4 words");
}

TEST_F(LibraryTest, SidecarLrcTakesNamesFromTheAudioBesideIt) {
  WriteMp3(lib_ / "track01.mp3");
  TagMp3(lib_ / "track01.mp3", "From The Tag", "Tag Artist", nullptr);
  WriteBytes(lib_ / "track01.lrc", "[00:01]words");
  Song song = ReadOne(lib_ / "track01.lrc", cp1252_);
  EXPECT_EQ(song.title, "From The Tag");
  EXPECT_EQ(song.artist, "Tag Artist");
  EXPECT_EQ(song.album, "The Album");

  // Its own tags still win, field by field.
  WriteBytes(lib_ / "track01.lrc", "[ti:Own Title]\n[00:01]words");
  song = ReadOne(lib_ / "track01.lrc", cp1252_);
  EXPECT_EQ(song.title, "Own Title");
  EXPECT_EQ(song.artist, "Tag Artist");

  // An audio file with another stem, or an untagged one, gives nothing: the name does.
  WriteMp3(lib_ / "Name Artist - Name Title.flac");  // not FLAC at all
  WriteBytes(lib_ / "Name Artist - Name Title.lrc", "[00:01]words");
  song = ReadOne(lib_ / "Name Artist - Name Title.lrc", cp1252_);
  EXPECT_EQ(song.title, "Name Title");
  EXPECT_EQ(song.artist, "Name Artist");
}

// The words and their timing as the tags of an MP3 give them.
TEST_F(LibraryTest, Mp3LyricsTiming) {
  using Sync = TagLib::ID3v2::SynchronizedLyricsFrame;
  struct Case {
    const char* name;
    std::vector<TagLib::ID3v2::Frame* (*)()> frames;
    const char* lyrics;
    const char* synced;
    bool instrumental;
  };
  const Case cases[] = {
      {"SyltInMilliseconds",
       {[] {
         return Sylt({{1000, "one"}, {2500, "two"}, {61'230, ""}, {62'000, "three"}});
       }},
       "one\ntwo\n\nthree",
       "[00:01.00] one\n[00:02.50] two\n[01:01.23] \n[01:02.00] three",
       false},
      // Timing them would mean decoding the audio.
      {"SyltInMpegFrames",
       {[] {
         return Sylt({{10, "one"}, {20, "two"}}, Sync::AbsoluteMpegFrames);
       }},
       "one\ntwo",
       "",
       false},
      // Words stay in the frame's order; their timing is sorted.
      {"SyltOutOfOrder",
       {[] {
         return Sylt({{3000, "late"}, {1000, "early"}});
       }},
       "late\nearly",
       "[00:01.00] early\n[00:03.00] late",
       false},
      {"SyltLinesBrokenInsideAnEntry",
       {[] {
         return Sylt({{1000, "\none"}, {2000, "two\nand more"}});
       }},
       "one\ntwo\nand more",
       "[00:01.00] one\n[00:02.00] two",
       false},
      {"UsltAsLrc",
       {[] { return Uslt("[00:02]b\n[00:01]a\n", TagLib::String::UTF8); }},
       "a\nb",
       "[00:01.00] a\n[00:02.00] b",
       false},
      {"UsltPlainWithSylt",
       {[] { return Uslt("plain words", TagLib::String::UTF8); },
        [] {
          return Sylt({{1000, "timed words"}});
        }},
       "plain words",
       "[00:01.00] timed words",
       false},
      {"SyltTimingWinsOverUsltLrc",
       {[] { return Uslt("[00:05]words", TagLib::String::UTF8); },
        [] {
          return Sylt({{1000, "words"}});
        }},
       "words",
       "[00:01.00] words",
       false},
      {"UsltInstrumental",
       {[] { return Uslt("[au: instrumental]", TagLib::String::UTF8); }},
       "",
       "",
       true},
  };
  for (const Case& c : cases) {
    const fs::path file = lib_ / "track.mp3";
    WriteMp3(file);
    {
      TagLib::MPEG::File mp3(file.c_str(), false);
      ASSERT_TRUE(mp3.isValid());
      TagLib::ID3v2::Tag* tag = mp3.ID3v2Tag(true);
      tag->setTitle("T");
      for (const auto frame : c.frames) tag->addFrame(frame());
      ASSERT_TRUE(mp3.save());
    }
    const Song song = ReadOne(file, cp1252_);
    EXPECT_EQ(song.lyrics, c.lyrics) << c.name;
    EXPECT_EQ(song.synced, c.synced) << c.name;
    EXPECT_EQ(song.instrumental, c.instrumental) << c.name;
    fs::remove(file);
  }
}

// An audio file's length from its properties; a .lrc beside it takes that length over its own.
TEST_F(LibraryTest, Durations) {
  struct Case {
    const char* name;
    void (*write)(const fs::path&);  // the audio file, or nothing for a .lrc alone
    const char* lrc;                 // a .lrc beside it, or nothing
    std::int64_t durationMs;
  };
  const auto mp3WithLrcLyrics = [](const fs::path& file) {
    WriteMp3(file);
    TagMp3(file, "T", "A", Uslt("[length:3:00]\n[00:01]words", TagLib::String::UTF8));
  };
  const auto flacWithLrcLyrics = [](const fs::path& file) {
    WriteFlac(file, 0);
    TagLib::FLAC::File flac(file.c_str(), false);
    TagXiph(flac.xiphComment(true), "LYRICS", "[length:3:00]\n[00:01]words");
    flac.save();
  };
  const auto flac = [](const fs::path& file) { WriteFlac(file, 245); };
  const Case cases[] = {
      // Six frames of 417 bytes at 128 kbit/s.
      {"track.mp3", mp3WithLrcLyrics, nullptr, 156},
      // STREAMINFO tells no length: the lyrics' own [length:] is all there is.
      {"track.flac", flacWithLrcLyrics, nullptr, 180'000},
      {"Band - Song.lrc", nullptr, "[length: 2:50]\n[00:01]words", 170'000},
      {"Band - Song.lrc", nullptr, "[00:01]words", 0},
      {"track.flac", flac, "[length: 2:50]\n[ti:T]\n[ar:A]\n[00:01]words", 245'000},
      {"track.FLAC", flac, "[00:01]words", 245'000},
      {"track.flac", [](const fs::path& file) { WriteFlac(file, 0); },
       "[length: 2:50]\n[00:01]words", 170'000},
      {"track.flac", [](const fs::path& file) { WriteBytes(file, "not audio"); },
       "[length: 2:50]\n[00:01]words", 170'000},
  };
  for (const Case& c : cases) {
    const fs::path audio = lib_ / c.name;
    if (c.write != nullptr) c.write(audio);
    fs::path read = audio;
    if (c.lrc != nullptr) {
      read.replace_extension(".lrc");
      WriteBytes(read, c.lrc);
    }
    EXPECT_EQ(ReadOne(read, cp1252_).durationMs, c.durationMs)
        << c.name << " " << (c.lrc ? c.lrc : "");
    std::error_code ignored;
    fs::remove(audio, ignored);
    fs::remove(read, ignored);
  }
}

// A real FLAC whose LYRICS field (named in lower case) holds .lrc text: stamps of two and three
// decimals, a space after some, Japanese and Chinese words.
TEST_F(LibraryTest, RealFlacWithLrcInItsTag) {
  const fs::path file =
      fs::path(TALVO_REALDATA) / "media/mm-samples/flac/Dance In The Game - ZAQ - LRC.flac";
  if (!fs::exists(file)) GTEST_SKIP() << "no real data at " << file;
  const Song song = ReadOne(file, cp1252_);
  EXPECT_TRUE(song.synced.starts_with(
      "[00:00.00] 作词 : ZAQ\n[00:00.30] 作曲 : ZAQ\n"
      "[00:00.61] 编曲 : ZAQ\n[00:00.92] 歪んだ憂いが飛び交う中で失い失い\n"))
      << song.synced;
  EXPECT_EQ(std::count(song.synced.begin(), song.synced.end(), '\n'),
            std::count(song.lyrics.begin(), song.lyrics.end(), '\n'));
  EXPECT_EQ(song.durationMs, 1000);  // its STREAMINFO: 44,100 samples at 44.1 kHz
}

// A scan finds the audio beside a .lrc in the files it listed, the one ReadLyricsFile finds by
// name.
TEST_F(LibraryTest, ScanFindsTheAudioBesideALrcAsReadingItDoes) {
  struct Case {
    const char* stem;
    std::vector<const char*> tagged;  // audio files tagged "Tag <stem>" by "Band"
    std::vector<const char*> junk;    // audio files TagLib cannot read
    bool fromTags;
  };
  const Case cases[] = {
      {"a", {"a.mp3"}, {}, true},
      {"b", {"b.MP3"}, {}, true},
      {"c", {"c.Mp3"}, {}, false},                 // neither spelling looked for
      {"d", {"d.x.mp3", "d.lrc.mp3"}, {}, false},  // other stems
      // .mp3 comes first, though "e.flac" sorts before it.
      {"e", {"e.mp3"}, {"e.flac"}, true},
  };
  for (const Case& c : cases) {
    for (const char* name : c.tagged) {
      WriteMp3(lib_ / name);
      TagMp3(lib_ / name, std::string("Tag ") + c.stem, "Band", nullptr);
    }
    for (const char* name : c.junk) WriteBytes(lib_ / name, "not audio");
    WriteBytes(lib_ / (std::string(c.stem) + ".lrc"), "[00:01]words");
  }
  Scan({lib_});
  for (const Case& c : cases) {
    const Song read = ReadOne(lib_ / (std::string(c.stem) + ".lrc"), cp1252_);
    EXPECT_EQ(read.title, c.fromTags ? std::string("Tag ") + c.stem : std::string(c.stem))
        << c.stem;
    EXPECT_EQ(store_->FindExact(MatchKey(read.title), MatchKey(read.artist), 5).size(), 1U)
        << c.stem;
  }
}

// --- Scanning ---

TEST_F(LibraryTest, ScanIndexesTheFolders) {
  WriteBytes(lib_ / "a" / "Band - One.lrc", "[00:01]one words");
  WriteBytes(lib_ / "a" / "b" / "Band - Two.txt", "two words");
  WriteBytes(lib_ / "Band - Three.LRC", "[ti:Three]\nthree words");
  WriteBytes(lib_ / "cover.jpg", "not lyrics");
  WriteBytes(lib_ / "notes.lrc.bak", "not lyrics");
  WriteBytes(lib_ / "empty.lrc", "");
  WriteMp3(lib_ / "song.mp3");
  TagMp3(lib_ / "song.mp3", "Four", "Band", Uslt("four words", TagLib::String::UTF8));

  std::vector<std::pair<std::size_t, std::size_t>> calls;
  const ScanReport report =
      ScanLibrary(*store_, {lib_}, cp1252_,
                  [&](std::size_t done, std::size_t total) { calls.emplace_back(done, total); });
  EXPECT_EQ(report.seen, 5U);
  EXPECT_EQ(report.read, 5U);
  EXPECT_EQ(report.unchanged, 0U);
  EXPECT_EQ(report.removed, 0U);
  EXPECT_EQ(report.skipped, 0U);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(store_->SongCount(), 4);
  EXPECT_EQ(store_->Paths().size(), 5U);  // the empty one is known too
  for (const char* title : {"one", "two", "three", "four"}) {
    EXPECT_EQ(store_->FindExact(title, "band", 5).size(), 1U) << title;
  }
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), (std::pair<std::size_t, std::size_t>{5, 5}));
  EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
}

TEST_F(LibraryTest, ScanIndexesTimingDurationAndInstrumentals) {
  WriteFlac(lib_ / "track.flac", 245);
  WriteBytes(lib_ / "track.lrc", "[ti:Timed]\n[ar:Band]\n[offset:500]\n[00:02]one\n[00:01]zero");
  WriteBytes(lib_ / "Band - Theme.lrc", "[length:1:30]\n[au: instrumental]");
  Scan({lib_});
  const auto timed = store_->FindExact("timed", "band", 5);
  ASSERT_EQ(timed.size(), 1U);
  EXPECT_EQ(timed[0].song.lyrics, "zero\none");
  EXPECT_EQ(store_->SyncedLyrics(timed[0].id), "[00:00.50] zero\n[00:01.50] one");
  EXPECT_EQ(timed[0].song.durationMs, 245'000);
  EXPECT_FALSE(timed[0].song.instrumental);
  const auto theme = store_->FindExact("theme", "band", 5);
  ASSERT_EQ(theme.size(), 1U);
  EXPECT_TRUE(theme[0].song.instrumental);
  EXPECT_EQ(theme[0].song.durationMs, 90'000);
}

TEST_F(LibraryTest, ScanIsIncremental) {
  WriteBytes(lib_ / "A - Keep.lrc", "[00:01]keep");
  WriteBytes(lib_ / "A - Change.lrc", "[00:01]before");
  WriteBytes(lib_ / "A - Touch.lrc", "[00:01]aaaa");
  WriteBytes(lib_ / "A - Gone.lrc", "[00:01]gone");
  WriteBytes(lib_ / "A - Empty.lrc", "");
  ScanReport report = Scan({lib_});
  EXPECT_EQ(report.read, 5U);
  // Stamped by std::filesystem's clock, as the index always was: an older index is not read again.
  const fs::path kept = lib_ / "A - Keep.lrc";
  const auto keptTime = fs::last_write_time(kept).time_since_epoch();
  EXPECT_EQ(store_->Stamp(kept.string()),
            (FileStamp{static_cast<std::int64_t>(fs::file_size(kept)),
                       std::chrono::duration_cast<std::chrono::nanoseconds>(keptTime).count()}));

  report = Scan({lib_});
  EXPECT_EQ(report.seen, 5U);
  EXPECT_EQ(report.read, 0U);
  EXPECT_EQ(report.unchanged, 5U);
  EXPECT_EQ(report.removed, 0U);

  WriteBytes(lib_ / "A - Change.lrc", "[00:01]after, and longer");
  // Same size, new content, and only the modification time to tell.
  const auto touched = fs::last_write_time(lib_ / "A - Touch.lrc");
  WriteBytes(lib_ / "A - Touch.lrc", "[00:01]bbbb");
  fs::last_write_time(lib_ / "A - Touch.lrc", touched + std::chrono::nanoseconds(1));
  fs::remove(lib_ / "A - Gone.lrc");
  WriteBytes(lib_ / "new" / "A - New.lrc", "[00:01]new");
  report = Scan({lib_});
  EXPECT_EQ(report.seen, 5U);
  EXPECT_EQ(report.read, 3U);
  EXPECT_EQ(report.unchanged, 2U);
  EXPECT_EQ(report.removed, 1U);
  EXPECT_EQ(store_->FindExact("change", "a", 5).at(0).song.lyrics, "after, and longer");
  EXPECT_EQ(store_->FindExact("touch", "a", 5).at(0).song.lyrics, "bbbb");
  EXPECT_TRUE(store_->FindExact("gone", "a", 5).empty());
  EXPECT_EQ(store_->FindExact("new", "a", 5).size(), 1U);
  EXPECT_EQ(store_->SongCount(), 4);

  // However the folder is spelt, its files are the same files.
  report = Scan({lib_ / "." / ""});
  EXPECT_EQ(report.read, 0U);
  EXPECT_EQ(report.removed, 0U);
}

TEST_F(LibraryTest, ScanSkipsAndReportsWhatItCannotRead) {
  WriteBytes(lib_ / "A - Good.lrc", "[00:01]good");
  fs::create_directories(lib_ / "folder.lrc");
  WriteBytes(lib_ / "folder.lrc" / "A - Inside.lrc", "[00:01]inside");
  ASSERT_EQ(mkfifo((lib_ / "pipe.lrc").c_str(), 0644), 0);
  fs::create_symlink(lib_ / "nowhere.lrc", lib_ / "dangling.lrc");
  WriteBytes(lib_ / "big.txt", std::string((std::size_t{1} << 20) + 10, 'a'));
  WriteBytes(lib_ / "junk.flac", "not audio");

  const ScanReport report = Scan({lib_});
  EXPECT_EQ(report.read, 2U);
  EXPECT_EQ(report.skipped, 5U);
  EXPECT_EQ(report.seen, report.read + report.unchanged + report.skipped);
  ASSERT_EQ(report.problems.size(), 5U);
  for (const char* name : {"folder.lrc", "pipe.lrc", "dangling.lrc", "big.txt", "junk.flac"}) {
    const std::string prefix = (lib_ / name).string() + ": ";
    EXPECT_EQ(std::count_if(report.problems.begin(), report.problems.end(),
                            [&](const std::string& p) { return p.starts_with(prefix); }),
              1)
        << name;
  }
  EXPECT_EQ(store_->SongCount(), 2);
}

TEST_F(LibraryTest, AFileThatTurnsUnreadableKeepsItsSongs) {
  WriteBytes(lib_ / "A - Grows.txt", "words");
  Scan({lib_});
  WriteBytes(lib_ / "A - Grows.txt", std::string((std::size_t{1} << 20) + 1, 'a'));
  const ScanReport report = Scan({lib_});
  EXPECT_EQ(report.skipped, 1U);
  EXPECT_EQ(report.removed, 0U);
  EXPECT_EQ(store_->FindExact("grows", "a", 5).size(), 1U);
}

TEST_F(LibraryTest, AFolderThatCannotBeListedKeepsItsFiles) {
  WriteBytes(lib_ / "A - Song.lrc", "[00:01]words");
  WriteBytes(dir_ / "other" / "A - Other.lrc", "[00:01]words");
  Scan({lib_, dir_ / "other"});
  ASSERT_EQ(store_->SongCount(), 2);

  // The disk is unmounted: its folder is missing, not empty.
  fs::rename(lib_, dir_ / "elsewhere");
  ScanReport report = Scan({lib_, dir_ / "other"});
  EXPECT_EQ(report.removed, 0U);
  ASSERT_EQ(report.problems.size(), 1U);
  EXPECT_TRUE(report.problems[0].starts_with(lib_.string() + ": ")) << report.problems[0];
  EXPECT_EQ(store_->SongCount(), 2);

  // A folder no longer in the library is another matter.
  report = Scan({dir_ / "other"});
  EXPECT_EQ(report.removed, 1U);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(store_->SongCount(), 1);
}

TEST_F(LibraryTest, TheReportCountsWhatWasStoredNotWhatWasTried) {
  WriteBytes(lib_ / "A - Old.lrc", "[00:01]old");
  Scan({lib_});
  fs::remove(lib_ / "A - Old.lrc");
  WriteBytes(lib_ / "A - New.lrc", "[00:01]new");
  // The index breaks under the server: no song can be added or deleted any more.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "index.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE songs_fts", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  const ScanReport report = Scan({lib_});
  EXPECT_EQ(report.read, 0U);
  EXPECT_EQ(report.removed, 0U);
  EXPECT_EQ(report.skipped, 1U);
  ASSERT_FALSE(report.problems.empty());
  EXPECT_TRUE(report.problems[0].starts_with((lib_ / "A - New.lrc").string() + ": not stored"))
      << report.problems[0];
  EXPECT_EQ(store_->Paths(), std::vector<std::string>{(lib_ / "A - Old.lrc").string()});
}

// A stop ends the scan after the file in hand: what was read is stored and counted, and nothing
// is removed, since the files not looked at are not known to be gone.
TEST_F(LibraryTest, AStopKeepsAndCountsWhatWasRead) {
  for (const std::size_t stopAfter : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
    const fs::path lib = dir_ / ("stopped after " + std::to_string(stopAfter));
    std::string error;
    const auto store = Store::Open(lib.string() + ".db", error);
    ASSERT_NE(store, nullptr) << error;
    WriteBytes(lib / "A - Gone.lrc", "[00:01]gone");
    ScanLibrary(*store, {lib}, cp1252_);
    fs::remove(lib / "A - Gone.lrc");
    for (const char* name : {"A - One.lrc", "A - Two.lrc", "A - Three.lrc"})
      WriteBytes(lib / name, "[00:01]words");

    std::stop_source stop;
    const ScanReport report = ScanLibrary(
        *store, {lib}, cp1252_,
        [&](std::size_t done, std::size_t) {
          if (done == stopAfter) stop.request_stop();
        },
        stop.get_token());
    EXPECT_EQ(report.read, stopAfter) << stopAfter;
    EXPECT_EQ(report.removed, 0U) << stopAfter;
    EXPECT_EQ(store->Paths().size(), stopAfter + 1) << stopAfter;
  }
}

// Another writer of the index (the recent lookups', the upstream's) is not kept waiting past its
// timeout by a file that reads slowly: the scan holds the write lock only to write what it read.
// The slow read is the tags of the audio beside a .lrc, which the scan takes from its listing:
// once listed, the audio becomes a pipe, and the read waits on it until the test lets it go.
TEST_F(LibraryTest, AnotherWriterWritesWhileTheScanReadsAFile) {
  WriteBytes(lib_ / "A - Before.lrc", "[00:01]read before the slow one");
  WriteBytes(lib_ / "track.lrc", "[00:01]slow");
  const fs::path audio = lib_ / "track.mp3";
  WriteBytes(audio, "listed as a file");
  std::string error;
  const auto other = Store::Open((dir_ / "index.db").string(), error);
  ASSERT_NE(other, nullptr) << error;

  std::atomic<bool> piped = false;
  ScanReport report;
  std::thread scan([&] {
    report = ScanLibrary(*store_, {lib_}, cp1252_, [&](std::size_t done, std::size_t) {
      if (done == 0) piped = unlink(audio.c_str()) == 0 && mkfifo(audio.c_str(), 0644) == 0;
    });
  });
  // The pipe opens for writing once the scan has it open for reading; a hang guard, not a bound.
  int writer = -1;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (writer < 0 && std::chrono::steady_clock::now() < giveUp) {
    if (piped) writer = open(audio.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (writer >= 0) {
    EXPECT_TRUE(other->Begin()) << other->LastError();
    EXPECT_TRUE(other->RecordLookup({1, "Looked Up", "During The Scan", std::nullopt}))
        << other->LastError();
    EXPECT_TRUE(other->Commit()) << other->LastError();
  } else {
    ADD_FAILURE() << "the scan never opened the pipe (made: " << piped.load() << ")";
    // Lets a scan that opens it later go on, instead of waiting for a writer.
    writer = open(audio.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  if (writer >= 0) close(writer);
  scan.join();

  EXPECT_EQ(other->RecentLookups(5).size(), 1U);
  EXPECT_EQ(report.read, 2U) << testing::PrintToString(report.problems);
  EXPECT_EQ(store_->FindExact("track", "", 5).size(), 1U);
}

// --- What a rescan cannot see stays; what it sees gone goes ---

// The name of each level MakeDeeperThanPathMax nests.
std::string DeepName() {
  return std::string(200, 'd');
}

// Folders nested under top until the path is longer than PATH_MAX; the first that long.
fs::path MakeDeeperThanPathMax(const fs::path& top) {
  const std::string name = DeepName();
  fs::create_directories(top);
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  fs::path deep = top;
  while (fd >= 0 && deep.string().size() < PATH_MAX) {
    if (mkdirat(fd, name.c_str(), 0755) != 0) break;
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
    deep /= name;
  }
  if (fd >= 0) close(fd);
  return deep;
}

// Removes what MakeDeeperThanPathMax made, bottom up, each level from the one above it: no path
// the calls see grows past PATH_MAX.
void RemoveDeep(const fs::path& top) {
  const std::string name = DeepName();
  std::vector<int> levels{open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  while (levels.back() >= 0) {
    levels.push_back(openat(levels.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  levels.pop_back();
  while (!levels.empty()) {
    close(levels.back());
    levels.pop_back();
    if (!levels.empty()) unlinkat(levels.back(), name.c_str(), AT_REMOVEDIR);
  }
}

class ScanFaultTest;

struct ScanFaultCase {
  const char* name;
  // Before the first scan: adds the case's files. Between the scans: the fault. Each answers the
  // path the second scan must report, or nothing.
  void (*before)(ScanFaultTest&);
  fs::path (*between)(ScanFaultTest&);
  bool asUser;  // needs permission bits to apply
  std::size_t removed;
  std::int64_t songs;
};

void PrintTo(const ScanFaultCase& row, std::ostream* os) {
  *os << row.name;
}

class ScanFaultTest : public LibraryTest, public testing::WithParamInterface<ScanFaultCase> {
 public:
  void TearDown() override {
    store_.reset();
    std::error_code ignored;
    fs::permissions(Locked(), fs::perms::owner_all, ignored);
    RemoveDeep(lib_ / "deep");
    fs::remove_all(dir_, ignored);
  }

  fs::path Disk() const { return dir_ / "disk"; }
  fs::path Locked() const { return lib_ / "locked"; }
  const fs::path& Lib() const { return lib_; }
  Store& Index() { return *store_; }

  // The scan as a user the permission bits apply to: root reads any folder whatever its mode, so
  // as root it runs in a child that becomes nobody. Nothing when that cannot be done.
  std::optional<ScanReport> ScanAsUser() {
    if (geteuid() != 0) return Scan({lib_});
    constexpr uid_t kNobody = 65534;
    constexpr int kCannotDrop = 3;
    // The child opens the index itself, as nobody: it must be able to write it.
    fs::permissions(dir_, fs::perms::all);
    for (const char* file : {"index.db", "index.db-wal", "index.db-shm"}) {
      std::error_code absent;
      fs::permissions(dir_ / file, fs::perms::all, absent);
    }
    int out[2];
    if (pipe(out) != 0) return std::nullopt;
    // A connection must not cross a fork; the test's is opened again once the child is done.
    store_.reset();
    const pid_t child = fork();
    if (child == 0) {
      close(out[0]);
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(kCannotDrop);
      int code = 4;
      {
        // Everything freed before _exit, so that memcheck finds no leak in the child.
        std::string error;
        const auto store = Store::Open((dir_ / "index.db").string(), error);
        if (store) {
          const ScanReport report = ScanLibrary(*store, {lib_}, cp1252_);
          std::string text = std::to_string(report.removed) + "\n";
          for (const std::string& problem : report.problems) text += problem + "\n";
          code =
              write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 5;
        }
      }
      _exit(code);
    }
    close(out[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t got; child > 0 && (got = read(out[0], chunk, sizeof chunk)) > 0;)
      text.append(chunk, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    const bool waited = child > 0 && waitpid(child, &status, 0) == child;
    std::string error;
    store_ = Store::Open((dir_ / "index.db").string(), error);
    EXPECT_NE(store_, nullptr) << error;
    ScanReport report;
    if (!waited || !WIFEXITED(status)) {
      ADD_FAILURE() << "the scan as nobody did not run";
      return report;
    }
    if (WEXITSTATUS(status) == kCannotDrop) return std::nullopt;
    if (WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "the scan as nobody failed with " << WEXITSTATUS(status);
      return report;
    }
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      if (start == 0) {
        report.removed = std::stoul(text.substr(0, end));
      } else {
        report.problems.push_back(text.substr(start, end - start));
      }
    }
    return report;
  }
};

TEST_P(ScanFaultTest, KeepsWhatItCannotSeeAndDropsWhatItSeesGone) {
  WriteBytes(lib_ / "A - Kept.lrc", "[00:01]kept");
  GetParam().before(*this);
  const ScanReport first = Scan({lib_});
  ASSERT_EQ(store_->SongCount(), 2) << testing::PrintToString(first.problems);

  const fs::path reported = GetParam().between(*this);
  std::optional<ScanReport> report;
  if (GetParam().asUser) {
    report = ScanAsUser();
    if (!report) GTEST_SKIP() << "cannot scan as a user without root's rights (uid 65534)";
    ASSERT_NE(store_, nullptr);
  } else {
    report = Scan({lib_});
  }
  EXPECT_EQ(report->removed, GetParam().removed);
  EXPECT_EQ(store_->SongCount(), GetParam().songs);
  EXPECT_EQ(store_->FindExact("kept", "a", 5).size(), 1U);
  if (reported.empty()) {
    EXPECT_TRUE(report->problems.empty()) << testing::PrintToString(report->problems);
  } else {
    ASSERT_EQ(report->problems.size(), 1U) << testing::PrintToString(report->problems);
    EXPECT_TRUE(report->problems[0].starts_with(reported.string() + ": ")) << report->problems[0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rescan, ScanFaultTest,
    testing::Values(ScanFaultCase{"LinkedFolderWhoseTargetVanishes",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Disk() / "A - Linked.lrc", "[00:01]linked");
                                    fs::create_directory_symlink(scan.Disk(),
                                                                 scan.Lib() / "linked");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::rename(scan.Disk(), scan.Disk().string() + " unmounted");
                                    return scan.Lib() / "linked";
                                  },
                                  false, 0, 2},
                    ScanFaultCase{"LinkedFileWhoseTargetVanishes",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Disk() / "A - Linked.lrc", "[00:01]linked");
                                    fs::create_symlink(scan.Disk() / "A - Linked.lrc",
                                                       scan.Lib() / "A - Linked.lrc");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::rename(scan.Disk(), scan.Disk().string() + " unmounted");
                                    return scan.Lib() / "A - Linked.lrc";
                                  },
                                  false, 0, 2},
                    ScanFaultCase{"FolderThatCannotBeRead",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Locked() / "A - Locked.lrc", "[00:01]locked");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::permissions(scan.Locked(), fs::perms::none);
                                    return scan.Locked();
                                  },
                                  true, 0, 2},
                    // Listed, but nothing in it can be looked at (chmod a-x).
                    ScanFaultCase{"FolderThatCannotBeSearched",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Locked() / "A - Locked.lrc", "[00:01]locked");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::permissions(scan.Locked(), fs::perms::owner_read |
                                                                       fs::perms::group_read |
                                                                       fs::perms::others_read);
                                    return scan.Locked() / "A - Locked.lrc";
                                  },
                                  true, 0, 2},
                    ScanFaultCase{"PathDeeperThanPathMax",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Lib() / "deep" / "A - Shallow.lrc",
                                               "[00:01]shallow");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::path deep = MakeDeeperThanPathMax(scan.Lib() / "deep");
                                    // What the index knew from when the path was shorter.
                                    scan.Index().PutFile((deep / "A - Deep.lrc").string(), {1, 1},
                                                         {MakeSong("Deep", "A", "words")});
                                    return deep;
                                  },
                                  false, 0, 3},
                    ScanFaultCase{"FileDeleted",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Lib() / "sub" / "A - Gone.lrc", "[00:01]gone");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::remove(scan.Lib() / "sub" / "A - Gone.lrc");
                                    return fs::path();
                                  },
                                  false, 1, 1},
                    ScanFaultCase{"FolderDeleted",
                                  [](ScanFaultTest& scan) {
                                    WriteBytes(scan.Lib() / "sub" / "A - Gone.lrc", "[00:01]gone");
                                  },
                                  [](ScanFaultTest& scan) {
                                    fs::remove_all(scan.Lib() / "sub");
                                    return fs::path();
                                  },
                                  false, 1, 1}),
    [](const testing::TestParamInfo<ScanFaultCase>& row) { return std::string(row.param.name); });

TEST_F(LibraryTest, ScanFollowsLinksButNotInCircles) {
  WriteBytes(lib_ / "a" / "A - One.lrc", "[00:01]one");
  WriteBytes(dir_ / "outside" / "A - Two.lrc", "[00:01]two");
  fs::create_directory_symlink(lib_, lib_ / "a" / "loop");
  fs::create_directory_symlink(dir_ / "outside", lib_ / "linked");
  fs::create_directory_symlink(dir_ / "outside", lib_ / "linked again");
  const ScanReport report = Scan({lib_, lib_ / "a"});
  EXPECT_EQ(report.seen, 2U);
  EXPECT_EQ(report.read, 2U);
  EXPECT_EQ(store_->SongCount(), 2);
}

TEST_F(LibraryTest, ScanNeverWritesTheLibrary) {
  WriteMp3(lib_ / "song.mp3");
  TagMp3(lib_ / "song.mp3", "T", "A", Uslt("words", TagLib::String::UTF8));
  WriteFlac(lib_ / "song.flac");
  WriteBytes(lib_ / "song.lrc", "[00:01]words");
  const std::string mp3 = ReadBytes(lib_ / "song.mp3");
  const std::string flac = ReadBytes(lib_ / "song.flac");
  const auto mp3Time = fs::last_write_time(lib_ / "song.mp3");
  const auto flacTime = fs::last_write_time(lib_ / "song.flac");
  Scan({lib_});
  EXPECT_EQ(ReadBytes(lib_ / "song.mp3"), mp3);
  EXPECT_EQ(ReadBytes(lib_ / "song.flac"), flac);
  EXPECT_EQ(fs::last_write_time(lib_ / "song.mp3"), mp3Time);
  EXPECT_EQ(fs::last_write_time(lib_ / "song.flac"), flacTime);
}

}  // namespace
}  // namespace talvo
