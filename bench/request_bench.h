// bench/request_bench.h
//
// Registers the request benchmarks with Google Benchmark (see
// request_bench.cpp).
//
// Threads: call once from main() before benchmark::RunSpecifiedBenchmarks().
#pragma once

namespace bench {
void registerRequestBenchmarks();
}  // namespace bench
