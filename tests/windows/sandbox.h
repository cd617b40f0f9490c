// The folder the Windows suite works in: media files written there, copies of the plugin and of
// the stand-in player. One per test process, under the temporary folder; removed at exit.
#pragma once

#include <string>
#include <string_view>

class Sandbox {
 public:
  static const Sandbox& Get();

  const std::string& folder() const { return folder_; }
  std::string Path(std::string_view name) const;

  // Each makes what it names inside the folder (subfolders as needed); false if it cannot.
  bool Write(std::string_view name, std::string_view bytes) const;
  bool MakeFolder(std::string_view name) const;
  bool Copy(const std::string& from, std::string_view name) const;

  // A copy of the plugin under a name of its own, answered as its file name. Each copy is a
  // module of its own with its state empty: the original, once pinned, would hand a later
  // test the state an earlier one left.
  std::string CopyPlugin() const;

  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

 private:
  Sandbox();
  ~Sandbox();
  std::string folder_;
};

// A file beside the test program: the build puts the plugin, the stand-in player and the test
// expansion modules there.
std::string BesideProgram(std::string_view name);

// The last 128 bytes of a tagged file: "TAG", then the title and the artist, each padded to 30
// bytes with `pad` (cut if longer), then album, year, comment and genre.
std::string Id3v1Block(std::string_view title, std::string_view artist, char pad = ' ');
