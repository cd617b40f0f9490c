// Songs for the tests, named by their fields: Song grows fields a positional initializer would
// have to spell out.
#pragma once

#include <string>
#include <utility>

#include "core/song.h"

namespace talvo {

inline Song MakeSong(std::string title, std::string artist, std::string lyrics,
                     std::string album = {}) {
  Song song;
  song.title = std::move(title);
  song.artist = std::move(artist);
  song.album = std::move(album);
  song.lyrics = std::move(lyrics);
  return song;
}

}  // namespace talvo
