// A fresh folder of a test's own under the system's temporary folder, on Linux and Windows alike.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <system_error>

namespace talvo {

// Nothing when no folder could be made.
inline std::optional<std::filesystem::path> MakeTempDir(const std::string& prefix) {
  namespace fs = std::filesystem;
#ifdef _WIN32
  // No mkdtemp: a random name, which create_directory refuses when it is already there.
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = fs::temp_directory_path() / (prefix + "-" + std::to_string(entropy()));
    std::error_code ec;
    if (fs::create_directory(dir, ec)) return dir;
    if (ec) return std::nullopt;
  }
  return std::nullopt;
#else
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return fs::path(pattern);
#endif
}

}  // namespace talvo
