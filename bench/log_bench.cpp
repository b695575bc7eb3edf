// bench/log_bench.cpp
//
// What one log() call costs a host thread, beside what the same datagrams
// cost without the plug-in:
//   log/clients:N/bytes:B                 the plug-in's log(), N registered clients
//   floor_sendto_mutex/clients:N/bytes:B  the floor: copy the finished record
//                                         under a std::mutex, one sendto() per
//                                         client on a socket set up like the
//                                         target's
//   spdlog_udp/clients:N/bytes:B          the peer: spdlog, one udp_sink per
//                                         client, pattern "%v"
//   paired_log_vs_floor/clients:N/bytes:B log() and the floor in alternating
//                                         short blocks; `ratio` is the median
//                                         of the per-pair ratios
//   log_threads/clients:C/threads:T       T host threads (1 to 16) logging
//                                         200-byte records at once to one
//                                         target with C clients
//   floor_sendto_mutex_threads/...        the floor shared by T threads: one
//                                         std::mutex held across the sends
//   spdlog_udp_threads/...                the peer shared by T threads: one
//                                         logger, a udp_sink_mt per client
// Every variant sends the same B-byte datagram to the same kind of drained
// loopback client, and counts the calling thread's heap allocations as
// allocs_per_call. The *_threads rows report calls_per_second (all threads'
// calls per wall-clock second), cpu_ns_per_call (the threads' CPU time
// summed, per call: a waiter that spins pays here) and the latency of one call over all threads'
// calls (p50_ns, p99_ns, p999_ns, max_ns: what a host thread may wait in one call).
//
// Threads: each benchmark runs on Google Benchmark's threads; a *_threads
// run shares one sender, made by its Setup hook before the threads start
// and released by Teardown after they have all left the loop.
#include "log_bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spdlog/details/synchronous_factory.h>  // udp_sink.h uses it without including it
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/udp_sink.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "common/unique_fd.h"
#include "loopback.h"
#include "target_harness.h"
#include "wire/wire_format.h"

namespace bench {

namespace {

constexpr std::size_t kMaxClients = 5;
constexpr int kWarmUpCalls = 64;  // first calls resolve lazy symbols and fault pages in
constexpr unsigned int kLevel = 5;

// allocs_per_call over the timed loop, for the calling thread only.
class AllocationWindow {
 public:
  AllocationWindow() : start(allocation_counter::threadAllocations()) {}
  void report(benchmark::State& state) const {
    state.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(allocation_counter::threadAllocations() - start),
                           benchmark::Counter::kAvgIterations);
  }

 private:
  long start;
};

// delivered_per_call: datagrams that reached the clients per call, after the
// drain thread has caught up. It proves the records went out; below the
// client count it means the kernel dropped some on a busy machine.
class DeliveryWindow {
 public:
  // Waits for the warm-up's records first, so they are not counted.
  explicit DeliveryWindow(const DrainedClients& clients)
      : clients(clients), start((clients.settle(), clients.received())) {}
  void report(benchmark::State& state) const {
    clients.settle();
    state.counters["delivered_per_call"] = benchmark::Counter(
        static_cast<double>(clients.received() - start), benchmark::Counter::kAvgIterations);
  }

 private:
  const DrainedClients& clients;
  long start;
};

// The host's arguments, as the stand-in framework would fill them.
struct HostArguments {
  int pid = static_cast<int>(::getpid());
  int tid = 4242;
  long tick = 0;
  int line = 120;
  tarvin_level* level = tarvin::levelRecord(kLevel);
};

void logOnce(ILogTarget* target, HostArguments& a, const RecordStrings& s) {
  target->log(a.pid, a.tid, ++a.tick, a.line, a.level, s.component, s.file, s.function, s.text);
}

void BM_Log(benchmark::State& state, std::size_t clientCount, std::size_t recordBytes) {
  TargetWithClients fixture(clientCount);
  if (!fixture.error().empty()) {
    state.SkipWithError(fixture.error().c_str());
    return;
  }
  const RecordStrings strings = makeRecordStrings(recordBytes);
  HostArguments arguments;
  ILogTarget* target = fixture.target();
  for (int i = 0; i < kWarmUpCalls; ++i) logOnce(target, arguments, strings);

  const DeliveryWindow delivery(fixture.drainedClients());
  const AllocationWindow allocations;
  for (auto _ : state) logOnce(target, arguments, strings);
  allocations.report(state);
  delivery.report(state);
  state.SetItemsProcessed(state.iterations());
}

// The floor: the finished record copied into a preallocated buffer under a
// std::mutex, then one sendto() per client, from a socket like the target's.
class FloorSender {
 public:
  FloorSender(const std::vector<sockaddr_in>& clients, std::size_t recordBytes, std::string& error)
      : sender(openSocketLikeTarget(error)),
        record(recordBytesOf(makeRecordStrings(recordBytes))),
        buffer(wire::kMaxDatagramSize),
        clientCount(clients.size()) {
    std::copy(clients.begin(), clients.end(), destinations.begin());
  }

  void sendOnce() {
    std::lock_guard lock(bufferMutex);
    std::memcpy(buffer.data(), record.data(), record.size());
    for (std::size_t i = 0; i < clientCount; ++i) {
      ::sendto(sender.get(), buffer.data(), record.size(), /*flags=*/0,
               reinterpret_cast<const sockaddr*>(&destinations[i]), sizeof destinations[i]);
    }
  }

 private:
  UniqueFd sender;
  const std::vector<char> record;
  std::vector<char> buffer;  // preallocated, like the target's log buffer
  std::mutex bufferMutex;
  std::array<sockaddr_in, kMaxClients> destinations{};
  std::size_t clientCount;
};

// The floor and its drained clients; error() is empty when usable.
class FloorWithClients {
 public:
  FloorWithClients(std::size_t clientCount, std::size_t recordBytes)
      : clients(clientCount),
        failure(clients.error()),
        floor(clients.addresses(), recordBytes, failure) {
    if (failure.empty() && !clients.startDraining()) failure = clients.error();
    if (!failure.empty()) return;
    for (int i = 0; i < kWarmUpCalls; ++i) floor.sendOnce();
  }
  const std::string& error() const { return failure; }
  const DrainedClients& drainedClients() const { return clients; }
  void sendOnce() { floor.sendOnce(); }

 private:
  DrainedClients clients;
  std::string failure;
  FloorSender floor;
};

void BM_FloorSendtoMutex(benchmark::State& state, std::size_t clientCount,
                         std::size_t recordBytes) {
  FloorWithClients fixture(clientCount, recordBytes);
  if (!fixture.error().empty()) {
    state.SkipWithError(fixture.error().c_str());
    return;
  }
  const DeliveryWindow delivery(fixture.drainedClients());
  const AllocationWindow allocations;
  for (auto _ : state) fixture.sendOnce();
  allocations.report(state);
  delivery.report(state);
  state.SetItemsProcessed(state.iterations());
}

long long threadCpuNow() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

double median(std::vector<double>& values) {
  if (values.empty()) return 0;
  auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// paired_log_vs_floor: log() and the floor take turns in short blocks on the
// same clients, and each pair of blocks gives one ratio. Load from other
// users of the machine changes over seconds, so it hits both halves of a
// pair alike; the median ratio is much steadier than the ratio of two
// medians measured seconds apart. Iterations are block pairs, so the time
// Google Benchmark reports for this family means nothing.
void BM_PairedLogVsFloor(benchmark::State& state, std::size_t clientCount,
                         std::size_t recordBytes) {
  TargetWithClients fixture(clientCount);
  std::string error = fixture.error();
  FloorSender floor(fixture.drainedClients().addresses(), recordBytes, error);
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  const RecordStrings strings = makeRecordStrings(recordBytes);
  HostArguments arguments;
  ILogTarget* target = fixture.target();
  for (int i = 0; i < kWarmUpCalls; ++i) {
    logOnce(target, arguments, strings);
    floor.sendOnce();
  }
  // About a tenth of a millisecond per block: long against the cost of
  // reading the thread's CPU clock, short against changes in load.
  const int block = clientCount == 0 ? 4096 : 32;
  auto timeLog = [&] {
    const long long start = threadCpuNow();
    for (int i = 0; i < block; ++i) logOnce(target, arguments, strings);
    return static_cast<double>(threadCpuNow() - start) / block;
  };
  auto timeFloor = [&] {
    const long long start = threadCpuNow();
    for (int i = 0; i < block; ++i) floor.sendOnce();
    return static_cast<double>(threadCpuNow() - start) / block;
  };
  std::vector<double> ratios, logNs, floorNs;
  constexpr std::size_t kMaxPairs = 1 << 16;  // reserved up front: no allocation in the loop
  ratios.reserve(kMaxPairs);
  logNs.reserve(kMaxPairs);
  floorNs.reserve(kMaxPairs);
  bool logFirst = true;  // alternated, so neither side always runs on a warm cache
  for (auto _ : state) {
    double a, b;
    if (logFirst) {
      a = timeLog();
      b = timeFloor();
    } else {
      b = timeFloor();
      a = timeLog();
    }
    logFirst = !logFirst;
    if (ratios.size() == kMaxPairs || b <= 0) continue;
    ratios.push_back(a / b);
    logNs.push_back(a);
    floorNs.push_back(b);
  }
  state.counters["ratio"] = median(ratios);
  state.counters["log_ns"] = median(logNs);
  state.counters["floor_ns"] = median(floorNs);
}

// The peer: one spdlog logger with a multi-threaded udp_sink per drained
// client, sending the B-byte record; error() is empty when usable.
class SpdlogWithClients {
 public:
  SpdlogWithClients(std::size_t clientCount, std::size_t recordBytes)
      : clients(clientCount), record(recordBytesOf(makeRecordStrings(recordBytes))) {
    if (!clients.error().empty() || !clients.startDraining()) {
      failure = clients.error();
      return;
    }
    std::vector<spdlog::sink_ptr> sinks;
    for (const sockaddr_in& address : clients.addresses()) {
      sinks.push_back(std::make_shared<spdlog::sinks::udp_sink_mt>(
          spdlog::sinks::udp_sink_config("127.0.0.1", ntohs(address.sin_port))));
    }
    logger = std::make_unique<spdlog::logger>("bench", sinks.begin(), sinks.end());
    // The message alone and no line end: the datagram is the B-byte record.
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%v", spdlog::pattern_time_type::local, /*eol=*/""));
    for (int i = 0; i < kWarmUpCalls; ++i) logOnce();
  }
  const std::string& error() const { return failure; }
  const DrainedClients& drainedClients() const { return clients; }
  void logOnce() {
    logger->log(spdlog::level::info, spdlog::string_view_t(record.data(), record.size()));
  }

 private:
  DrainedClients clients;
  const std::vector<char> record;
  std::unique_ptr<spdlog::logger> logger;
  std::string failure;
};

void BM_SpdlogUdp(benchmark::State& state, std::size_t clientCount, std::size_t recordBytes) {
  SpdlogWithClients fixture(clientCount, recordBytes);
  if (!fixture.error().empty()) {
    state.SkipWithError(fixture.error().c_str());
    return;
  }
  const DeliveryWindow delivery(fixture.drainedClients());
  const AllocationWindow allocations;
  for (auto _ : state) fixture.logOnce();
  allocations.report(state);
  delivery.report(state);
  state.SetItemsProcessed(state.iterations());
}

// The *_threads benchmarks: T threads share one sender with C clients. The
// Setup hook makes it (and warms it up) before the threads start; Teardown
// releases it after they have all left the loop.
constexpr std::size_t kThreadsRecordBytes = 200;

// The target of log_threads and the strings of its calls.
class SharedTarget {
 public:
  explicit SharedTarget(std::size_t clientCount)
      : fixture(clientCount), strings(makeRecordStrings(kThreadsRecordBytes)) {
    if (!fixture.error().empty()) return;
    HostArguments arguments;
    for (int i = 0; i < kWarmUpCalls; ++i) bench::logOnce(fixture.target(), arguments, strings);
  }
  const std::string& error() const { return fixture.error(); }
  void logOnce(HostArguments& arguments) const {
    bench::logOnce(fixture.target(), arguments, strings);
  }

 private:
  TargetWithClients fixture;
  const RecordStrings strings;
};

std::unique_ptr<SharedTarget> gSharedTarget;
std::unique_ptr<FloorWithClients> gSharedFloor;
std::unique_ptr<SpdlogWithClients> gSharedSpdlog;

std::size_t clientsOf(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

// Each thread's call latencies in the run under way, in nanoseconds: slot
// t is written only by thread t inside its timed loop, and read by thread 0
// after the loop, when Google Benchmark's stop barrier has been passed by
// every thread.
constexpr int kMaxThreads = 16;
constexpr std::size_t kMaxSamplesPerThread = std::size_t{1} << 21;
std::array<std::vector<std::uint32_t>, kMaxThreads> gCallNs;

// p50_ns, p99_ns, p999_ns and max_ns of one call over every thread's calls.
void reportLatencies(benchmark::State& state) {
  std::vector<std::uint32_t> all;
  for (int t = 0; t < state.threads(); ++t) {
    const auto& mine = gCallNs[static_cast<std::size_t>(t)];
    all.insert(all.end(), mine.begin(), mine.end());
  }
  if (all.empty()) return;
  auto at = [&all](double fraction) {
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(all.size() - 1));
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(index), all.end());
    return static_cast<double>(all[index]);
  };
  state.counters["p50_ns"] = at(0.5);
  state.counters["p99_ns"] = at(0.99);
  state.counters["p999_ns"] = at(0.999);
  state.counters["max_ns"] = static_cast<double>(*std::max_element(all.begin(), all.end()));
}

// The timed loop on each of the T threads. Google Benchmark averages each
// thread's own loop time, which overstates the rate when there are more
// threads than cores: a thread that is scheduled late starts its clock
// late. Thread 0 times the whole run instead, from before the start
// barrier to after the stop barrier. Every thread adds its own CPU time,
// and times each of its calls (two clock reads, the same for every design).
template <typename Call>
void timeThreads(benchmark::State& state, const std::string& error, Call&& call) {
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::uint32_t>& latencies = gCallNs[static_cast<std::size_t>(state.thread_index())];
  latencies.clear();
  latencies.reserve(
      std::min<std::size_t>(static_cast<std::size_t>(state.max_iterations), kMaxSamplesPerThread));
  const auto begin = std::chrono::steady_clock::now();
  const long long cpuBegin = threadCpuNow();
  const AllocationWindow allocations;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    call();
    const auto ns = (std::chrono::steady_clock::now() - start).count();
    if (latencies.size() < latencies.capacity()) {
      latencies.push_back(static_cast<std::uint32_t>(std::min<long long>(ns, UINT32_MAX)));
    }
  }
  const long long cpu = threadCpuNow() - cpuBegin;
  allocations.report(state);  // first: adding a counter allocates
  // Summed over the threads, then divided by all threads' calls.
  state.counters["cpu_ns_per_call"] =
      benchmark::Counter(static_cast<double>(cpu), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    const std::chrono::duration<double> span = std::chrono::steady_clock::now() - begin;
    state.counters["calls_per_second"] =
        static_cast<double>(state.iterations()) * state.threads() / span.count();
    reportLatencies(state);
  }
}

void BM_LogThreads(benchmark::State& state) {
  HostArguments arguments;
  arguments.tid += state.thread_index();
  timeThreads(state, gSharedTarget->error(), [&] { gSharedTarget->logOnce(arguments); });
}

void BM_FloorSendtoMutexThreads(benchmark::State& state) {
  timeThreads(state, gSharedFloor->error(), [] { gSharedFloor->sendOnce(); });
}

void BM_SpdlogUdpThreads(benchmark::State& state) {
  timeThreads(state, gSharedSpdlog->error(), [] { gSharedSpdlog->logOnce(); });
}

}  // namespace

void registerLogBenchmarks() {
  static const std::size_t kClientCounts[] = {0, 1, 5};
  static const std::size_t kRecordSizes[] = {200, 2047};
  for (std::size_t clients : kClientCounts) {
    for (std::size_t bytes : kRecordSizes) {
      const std::string suffix =
          "/clients:" + std::to_string(clients) + "/bytes:" + std::to_string(bytes);
      benchmark::RegisterBenchmark(("log" + suffix).c_str(), BM_Log, clients, bytes);
      benchmark::RegisterBenchmark(("floor_sendto_mutex" + suffix).c_str(), BM_FloorSendtoMutex,
                                   clients, bytes);
      benchmark::RegisterBenchmark(("spdlog_udp" + suffix).c_str(), BM_SpdlogUdp, clients, bytes);
      benchmark::RegisterBenchmark(("paired_log_vs_floor" + suffix).c_str(), BM_PairedLogVsFloor,
                                   clients, bytes);
    }
  }
  auto threaded = [](const char* name, void (*run)(benchmark::State&),
                     void (*setUp)(const benchmark::State&),
                     void (*tearDown)(const benchmark::State&)) {
    benchmark::RegisterBenchmark(name, run)
        ->ArgName("clients")
        ->Arg(1)
        ->Arg(5)
        ->ThreadRange(1, kMaxThreads)  // 1, 2, 4, 8, 16
        ->ComputeStatistics(
            "min",
            [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->ComputeStatistics(
            "max",
            [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
        ->Setup(setUp)
        ->Teardown(tearDown);
  };
  threaded(
      "log_threads", BM_LogThreads,
      [](const benchmark::State& s) {
        gSharedTarget = std::make_unique<SharedTarget>(clientsOf(s));
      },
      [](const benchmark::State&) { gSharedTarget.reset(); });
  threaded(
      "floor_sendto_mutex_threads", BM_FloorSendtoMutexThreads,
      [](const benchmark::State& s) {
        gSharedFloor = std::make_unique<FloorWithClients>(clientsOf(s), kThreadsRecordBytes);
      },
      [](const benchmark::State&) { gSharedFloor.reset(); });
  threaded(
      "spdlog_udp_threads", BM_SpdlogUdpThreads,
      [](const benchmark::State& s) {
        gSharedSpdlog = std::make_unique<SpdlogWithClients>(clientsOf(s), kThreadsRecordBytes);
      },
      [](const benchmark::State&) { gSharedSpdlog.reset(); });
}

}  // namespace bench
