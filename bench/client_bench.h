// bench/client_bench.h
//
// Registers the benchmarks of tarvin-remote's follower (see
// client_bench.cpp). Built when the tools are.
//
// Threads: call once from main() before benchmark::RunSpecifiedBenchmarks().
#pragma once

namespace bench {
void registerClientBenchmarks();
}  // namespace bench
