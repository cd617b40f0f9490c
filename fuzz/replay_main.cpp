// Without a fuzzing engine a fuzz target is a regression test: this runner hands it each input
// once, every file named and every file in every folder named, in name order so that a failure
// always names the same input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path named(argv[i]);
    if (!fs::is_directory(named)) {
      inputs.push_back(named);
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(named)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    inputs.insert(inputs.end(), files.begin(), files.end());
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<fs::path> inputs = Inputs(argc, argv);
  // An empty corpus would pass without testing anything.
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...: no inputs to replay\n", argv[0]);
    return 2;
  }
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 2;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file),
                                  std::istreambuf_iterator<char>()};
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
    // As libFuzzer does, never a null pointer, even for an empty input.
    static constexpr std::uint8_t kNoBytes = 0;
    const auto* data =
        bytes.empty() ? &kNoBytes : reinterpret_cast<const std::uint8_t*>(bytes.data());
    LLVMFuzzerTestOneInput(data, bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
