// An LRCLIB dump's file made ready for SQLite: a gzipped one unpacked to a file of its own, and
// either one looked at first, so that what is not a whole SQLite database is refused in one line
// before SQLite reads a page of it. Every file is opened through the files seam.
#pragma once

#include <filesystem>
#include <stop_token>
#include <string>
#include <utility>

#include "index/store.h"

namespace talvo {

class DumpFile {
 public:
  // A gzipped dump is unpacked to unpackTo: a new file, replacing one a killed import left.
  explicit DumpFile(std::filesystem::path unpackTo) : unpackTo_(std::move(unpackTo)) {}
  // Removes the unpacked copy, if one was made.
  ~DumpFile();
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  // False with error set to one line when file cannot be read or is not a regular file, its
  // gzip data is damaged or truncated, the copy cannot be written, stop was requested, or what
  // it holds is not a whole SQLite database by its header and its size.
  bool Prepare(const std::filesystem::path& file, const std::stop_token& stop, std::string& error);

  // After Prepare: the SQLite file to read (the file itself or the unpacked copy), and the size
  // and modification time of the file given.
  const std::filesystem::path& database() const { return database_; }
  FileStamp stamp() const { return stamp_; }

 private:
  bool Unpack(const std::filesystem::path& gzipped, const std::stop_token& stop,
              std::string& error);

  std::filesystem::path unpackTo_;
  bool unpacked_ = false;
  std::filesystem::path database_;
  FileStamp stamp_;
};

}  // namespace talvo
