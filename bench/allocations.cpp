#include "allocations.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

std::size_t allocations = 0;

double Min(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

double Max(const std::vector<double>& values) {
  return *std::max_element(values.begin(), values.end());
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)

bool CountsAllocations() {
  return false;
}

#else

// glibc's own entry points: the process's malloc family is interposed here so that calls from
// every library (libstdc++'s operator new, TagLib, curl) are counted.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-inconsistent-declaration-parameter-name)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);

void* malloc(std::size_t size) noexcept {
  ++allocations;
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
  ++allocations;
  return __libc_calloc(count, size);
}

void* realloc(void* block, std::size_t size) noexcept {
  ++allocations;
  return __libc_realloc(block, size);
}
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-inconsistent-declaration-parameter-name)

bool CountsAllocations() {
  return true;
}

#endif

std::size_t AllocationCount() {
  return allocations;
}

void ReportAllocations(benchmark::State& state, std::size_t before) {
  if (!CountsAllocations()) return;  // a zero would claim what was not counted
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(AllocationCount() - before),
                                                benchmark::Counter::kAvgIterations);
}

void WithSpread(benchmark::internal::Benchmark* benchmark) {
  benchmark->UseRealTime()->ComputeStatistics("min", Min)->ComputeStatistics("max", Max);
}
