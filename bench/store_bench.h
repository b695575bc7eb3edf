// bench/store_bench.h
//
// Registers the record store benchmarks with Google Benchmark (see
// store_bench.cpp). Built when the tools are, as the store is one of them.
//
// Threads: call once from main() before benchmark::RunSpecifiedBenchmarks().
#pragma once

namespace bench {
void registerStoreBenchmarks();
}  // namespace bench
