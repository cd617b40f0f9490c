// Heap allocations made by this process, so each benchmark can say how many one call makes.
#pragma once

#include <cstddef>

#include <benchmark/benchmark.h>

// Allocations (malloc, calloc, realloc, and operator new, which goes through malloc) since the
// process started. Stays at zero where a sanitizer owns the allocator: see CountsAllocations.
std::size_t AllocationCount();
bool CountsAllocations();

// Sets the "allocs" counter to the allocations per iteration since `before`, where they are
// counted.
void ReportAllocations(benchmark::State& state, std::size_t before);

// Repetitions report their median, min and max: the table's three figures.
void WithSpread(benchmark::internal::Benchmark* benchmark);
