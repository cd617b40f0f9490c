// The song record's columns in the index, named once. The statements that write a song and read
// one back are built from one list, so a new field of Song is a row of that list and a schema
// step, nothing else. Inside the index only.
#pragma once

#include <string>
#include <string_view>

#include "core/song.h"
#include "index/sql.h"

namespace talvo::song_columns {

// Whether a read takes every column, or leaves out those pages never show (the synced text,
// kept as the row's last column so that a row read without it never loads its overflow pages).
enum class Read { Light, Whole };

// The columns, in the list's order, each name after prefix ("s."): "s.title, s.artist, ...".
std::string Names(std::string_view prefix, Read read = Read::Whole);
// Their parameters from number first on: "?5, ?6, ...".
std::string Parameters(int first);
// The parameter number that carries the lyrics, for a column derived from them.
int LyricsParameter(int first);
// Binds the song's fields to parameters first, first + 1, ...
void Bind(sql::Run& run, int first, const Song& song);
// Reads the song's fields from result column first on, as Names(read) lists them.
void ReadInto(const sql::Run& run, int first, Read read, Song& song);

}  // namespace talvo::song_columns
