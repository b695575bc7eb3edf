// bench/main.cpp
//
// tarvin_bench: every benchmark of the plug-in in one binary. The host and
// the plug-in are set up before the first benchmark so that no benchmark
// pays for dlopen().
//
// Threads: main thread only; Google Benchmark starts the benchmark threads.
#include <cstdio>

#include <benchmark/benchmark.h>

#include "log_bench.h"
#include "request_bench.h"
#ifdef TARVIN_BENCH_STORE
#include "store_bench.h"
#endif
#ifdef TARVIN_BENCH_CLIENT
#include "client_bench.h"
#endif
#include "target_harness.h"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!bench::BenchHost::get().error().empty()) {
    std::fprintf(stderr, "tarvin_bench: error: %s\n", bench::BenchHost::get().error().c_str());
    return 1;
  }
  bench::registerLogBenchmarks();
  bench::registerRequestBenchmarks();
#ifdef TARVIN_BENCH_STORE
  bench::registerStoreBenchmarks();
#endif
#ifdef TARVIN_BENCH_CLIENT
  bench::registerClientBenchmarks();
#endif
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
