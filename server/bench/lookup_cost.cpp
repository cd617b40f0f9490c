// What one lookup costs, by kind, without HTTP or the lookup's record: reads "kind<TAB>title<TAB>
// artist" lines on stdin, runs each through FindSong on the index given, and prints per kind the
// median and 90th percentile of thread CPU time and of wall time, in microseconds. CPU time is
// what the lookup itself spends, so it holds up on a machine busy with other work.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "index/store.h"
#include "service/lookup.h"

namespace {

// Enough rounds for a stable median of a millisecond-scale call, few enough for a quick run.
constexpr int kRounds = 5;

double ThreadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

struct Costs {
  std::vector<double> cpu;
  std::vector<double> wall;
  int found = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: talvo-lookup-cost INDEX.db < lookups.tsv\n");
    return 2;
  }
  std::string error;
  const auto store = talvo::Store::OpenForReading(argv[1], error);
  if (!store) {
    std::fprintf(stderr, "talvo-lookup-cost: %s\n", error.c_str());
    return 1;
  }
  std::map<std::string, Costs> kinds;
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto first = line.find('\t');
    const auto second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos) continue;
    Costs& costs = kinds[line.substr(0, first)];
    for (int round = 0; round < kRounds; ++round) {
      talvo::SongQuery query;
      query.title = line.substr(first + 1, second - first - 1);
      query.artist = line.substr(second + 1);
      query.titleCut = talvo::FillsTagField(query.title);
      query.artistCut = talvo::FillsTagField(query.artist);
      const double cpuStart = ThreadCpuMicros();
      const auto wallStart = std::chrono::steady_clock::now();
      store->BeginRead();
      const auto result = talvo::FindSong(*store, query);
      store->EndRead();
      const std::chrono::duration<double, std::micro> wall =
          std::chrono::steady_clock::now() - wallStart;
      costs.cpu.push_back(ThreadCpuMicros() - cpuStart);
      costs.wall.push_back(wall.count());
      if (round == 0 && result.best) ++costs.found;
    }
  }
  std::printf("%-22s %8s %8s %12s %12s %12s %12s\n", "kind", "lookups", "found", "cpu p50 us",
              "cpu p90 us", "wall p50 us", "wall p90 us");
  for (const auto& [kind, costs] : kinds) {
    std::printf("%-22s %8zu %8d %12.0f %12.0f %12.0f %12.0f\n", kind.c_str(),
                costs.cpu.size() / kRounds, costs.found, Percentile(costs.cpu, 0.5),
                Percentile(costs.cpu, 0.9), Percentile(costs.wall, 0.5),
                Percentile(costs.wall, 0.9));
  }
  return 0;
}
