#include "sources/tags.h"

#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/synchronizedlyricsframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfilestream.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/files.h"

namespace talvo {
namespace {

namespace fs = std::filesystem;

// Lyrics as the tags hold them, before parsing.
struct Embedded {
  std::string text;   // words, perhaps in .lrc form
  std::string timed;  // a SYLT frame timed in milliseconds, as .lrc text
};

// TagLib decodes ID3 "Latin-1" text as Latin-1, but players wrote it in their code page (or in
// UTF-8). Each character below 256 is one original byte, so the bytes can be recovered and
// decoded as a text file's are.
std::string LegacyText(const TagLib::String& text, const CodePage& codePage) {
  return DecodeFileText(text.to8Bit(false), codePage);
}

std::string Id3v2Text(const TagLib::ID3v2::Tag& tag, const char* frameId,
                      const CodePage& codePage) {
  const auto found = tag.frameListMap().find(frameId);
  if (found == tag.frameListMap().end()) return {};
  for (const TagLib::ID3v2::Frame* frame : found->second) {
    const auto* textFrame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
    if (textFrame == nullptr || textFrame->toString().isEmpty()) continue;
    return textFrame->textEncoding() == TagLib::String::Latin1
               ? LegacyText(textFrame->toString(), codePage)
               : textFrame->toString().to8Bit(true);
  }
  return {};
}

// "[m:ss.xxx]": the .lrc stamp that keeps a SYLT time to the millisecond.
void AppendLrcStamp(std::string& out, std::uint32_t milliseconds) {
  const std::uint32_t fraction = milliseconds % 1000;
  out += '[';
  out += std::to_string(milliseconds / 60'000);
  out += ':';
  out += static_cast<char>('0' + milliseconds / 10'000 % 6);
  out += static_cast<char>('0' + milliseconds / 1000 % 10);
  out += '.';
  out += static_cast<char>('0' + fraction / 100);
  out += static_cast<char>('0' + fraction / 10 % 10);
  out += static_cast<char>('0' + fraction % 10);
  out += ']';
}

Embedded Id3v2Lyrics(const TagLib::ID3v2::Tag& tag, const CodePage& codePage) {
  Embedded lyrics;
  const auto& frames = tag.frameListMap();
  if (const auto found = frames.find("USLT"); found != frames.end()) {
    for (const TagLib::ID3v2::Frame* frame : found->second) {
      const auto* uslt = dynamic_cast<const TagLib::ID3v2::UnsynchronizedLyricsFrame*>(frame);
      if (uslt == nullptr || uslt->text().isEmpty()) continue;
      lyrics.text = uslt->textEncoding() == TagLib::String::Latin1
                        ? LegacyText(uslt->text(), codePage)
                        : uslt->text().to8Bit(true);
      break;
    }
  }
  const auto found = frames.find("SYLT");
  if (found == frames.end()) return lyrics;
  for (const TagLib::ID3v2::Frame* frame : found->second) {
    const auto* sylt = dynamic_cast<const TagLib::ID3v2::SynchronizedLyricsFrame*>(frame);
    if (sylt == nullptr) continue;
    const bool legacy = sylt->textEncoding() == TagLib::String::Latin1;
    const bool milliseconds =
        sylt->timestampFormat() == TagLib::ID3v2::SynchronizedLyricsFrame::AbsoluteMilliseconds;
    std::string lines;
    std::string timed;
    for (const auto& entry : sylt->synchedText()) {
      // Entries may carry their own line break, as karaoke syllables do at the end of a line.
      std::string line = legacy ? LegacyText(entry.text, codePage) : entry.text.to8Bit(true);
      while (!line.empty() && (line.front() == '\n' || line.front() == '\r')) line.erase(0, 1);
      lines += line;
      lines += '\n';
      if (milliseconds) {
        AppendLrcStamp(timed, entry.time);
        timed += line;
        timed += '\n';
      }
    }
    if (lines.find_first_not_of(" \n") == std::string::npos) continue;
    if (lyrics.text.empty()) lyrics.text = std::move(lines);
    lyrics.timed = std::move(timed);
    break;
  }
  return lyrics;
}

std::string XiphLyrics(const TagLib::Ogg::XiphComment& comment) {
  for (const char* field : {"LYRICS", "UNSYNCEDLYRICS"}) {
    const auto found = comment.fieldListMap().find(field);
    if (found == comment.fieldListMap().end()) continue;
    for (const TagLib::String& value : found->second) {
      if (!value.isEmpty()) return value.to8Bit(true);
    }
  }
  return {};
}

std::string Mp4Lyrics(const TagLib::MP4::Tag& tag) {
  const TagLib::String key("\251lyr", TagLib::String::Latin1);
  if (!tag.contains(key)) return {};
  for (const TagLib::String& value : tag.item(key).toStringList()) {
    if (!value.isEmpty()) return value.to8Bit(true);
  }
  return {};
}

// The names and the lyrics as stored, by the kind of file.
Embedded ReadTags(TagLib::File& audio, const CodePage& codePage, Song& song) {
  Embedded lyrics;
  if (const TagLib::Tag* tag = audio.tag(); tag != nullptr) {
    song.title = tag->title().to8Bit(true);
    song.artist = tag->artist().to8Bit(true);
    song.album = tag->album().to8Bit(true);
  }
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(&audio)) {
    // The generic tag read ID3 text as Latin-1; read it again through the code page.
    const TagLib::ID3v2::Tag* id3v2 = mpeg->ID3v2Tag(false);
    if (id3v2 != nullptr) {
      for (auto [field, id] : {std::pair{&song.title, "TIT2"}, std::pair{&song.artist, "TPE1"},
                               std::pair{&song.album, "TALB"}}) {
        if (std::string text = Id3v2Text(*id3v2, id, codePage); !text.empty()) {
          *field = std::move(text);
        }
      }
      lyrics = Id3v2Lyrics(*id3v2, codePage);
    }
    if (const TagLib::ID3v1::Tag* id3v1 = mpeg->ID3v1Tag(false);
        id3v1 != nullptr && (id3v2 == nullptr || id3v2->isEmpty())) {
      song.title = LegacyText(id3v1->title(), codePage);
      song.artist = LegacyText(id3v1->artist(), codePage);
      song.album = LegacyText(id3v1->album(), codePage);
    }
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(&audio)) {
    if (const TagLib::Ogg::XiphComment* comment = flac->xiphComment(false); comment != nullptr) {
      lyrics.text = XiphLyrics(*comment);
    }
    if (const TagLib::ID3v2::Tag* id3v2 = flac->ID3v2Tag(false); lyrics.text.empty() && id3v2) {
      lyrics = Id3v2Lyrics(*id3v2, codePage);
    }
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(&audio)) {
    if (const TagLib::MP4::Tag* tag = mp4->tag(); tag != nullptr) lyrics.text = Mp4Lyrics(*tag);
  } else if (const auto* comment = dynamic_cast<const TagLib::Ogg::XiphComment*>(audio.tag())) {
    lyrics.text = XiphLyrics(*comment);  // Vorbis, Opus, Speex and FLAC in Ogg
  }
  return lyrics;
}

}  // namespace

bool ReadAudioFile(const fs::path& file, const CodePage& codePage, AudioParts parts, Song& song,
                   std::string& problem) {
  song = Song();
  // Opened read-only: a FileRef on a path would open it for writing when it may. TagLib opens
  // the name as given, so a long Windows name is given in its long form.
  const fs::path name = files::SystemPath(file);
  TagLib::FileStream stream(name.c_str(), true);
  if (!stream.isOpen()) {
    problem = "cannot be opened";
    return false;
  }
  const TagLib::FileRef ref(&stream, true, TagLib::AudioProperties::Fast);
  TagLib::File* audio = ref.file();
  if (audio == nullptr || !audio->isValid()) {
    problem = "not an audio file TagLib can read";
    return false;
  }
  Embedded lyrics = ReadTags(*audio, codePage, song);
  if (const TagLib::AudioProperties* properties = audio->audioProperties()) {
    song.durationMs = std::max(properties->lengthInMilliseconds(), 0);
  }
  if (parts == AudioParts::kNamesAndLength) return true;
  if (lyrics.text.size() > kMaxLyricsBytes) {
    problem = "lyrics in the tag too long (" + std::to_string(lyrics.text.size()) + " bytes)";
    return false;
  }
  Song parsed = ParseLyrics(lyrics.text);
  song.lyrics = std::move(parsed.lyrics);
  song.synced = lyrics.timed.empty() ? std::move(parsed.synced) : ParseLrc(lyrics.timed).synced;
  song.instrumental = parsed.instrumental;
  if (song.durationMs == 0) song.durationMs = parsed.durationMs;
  return true;
}

}  // namespace talvo
