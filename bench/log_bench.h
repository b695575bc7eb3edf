// bench/log_bench.h
//
// Registers the log() benchmarks with Google Benchmark (see log_bench.cpp).
//
// Threads: call once from main() before benchmark::RunSpecifiedBenchmarks().
#pragma once

namespace bench {
void registerLogBenchmarks();
}  // namespace bench
