// bench/request_bench.cpp
//
// How many requests per second one target answers, beside a floor that does
// only what any UDP server must:
//   request/DRQ, request/GLVD        the target's worker thread answers
//   floor_echo/DRQ, floor_echo/GLVD  EchoServer: one epoll thread that
//                                    receives into a 2048-byte buffer, writes
//                                    a reply of the target's reply size over
//                                    it and sends it back
//   paired_request_vs_echo/DRQ, /GLVD  both in alternating blocks; medians
//                                    of the per-pair ratios
// Both are driven the same way: the benchmark thread keeps kWindow requests
// in flight, and each iteration is one reply received and one request sent.
// requests_per_second is measured on the wall clock, since the client's own
// CPU time says nothing about how fast the server answers. On a shared
// machine the wall clock moves with everyone else's load, so
// server_cpu_ns_per_request also charges each request the CPU time of the
// serving thread (found the same way for both: the thread that appeared when
// the server was made).
//
// Threads: the client loop runs on the benchmark thread; the target's worker
// thread or the EchoServer's thread answers; they share only sockets.
#include "request_bench.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "common/unique_fd.h"
#include "loopback.h"
#include "target_harness.h"
#include "thread_cpu.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace bench {

namespace {

// Enough requests in flight that the server never waits for the client's
// next send, few enough that no socket buffer overflows.
constexpr int kWindow = 8;
constexpr std::uint32_t kRequestId = 0x0badcafe;

struct RequestKind {
  std::vector<char> request;
  std::uint32_t replyDescriptor;
  std::size_t replyBytes;  // the target's reply length for this request
};

RequestKind discoveryRequest() {
  RequestKind kind{std::vector<char>(wire::kFieldSize), wire::kDiscoveryResponse, 0};
  wire::storeBe32(kind.request.data(), wire::kDiscoveryRequest);
  kind.replyBytes = wire::appinfo::kNameOffset + BenchHost::get().applicationName().size() + 1;
  return kind;
}

RequestKind levelDescriptionsRequest() {
  const std::string name = kComponentName;
  RequestKind kind{std::vector<char>(wire::glvd::kNameOffset + name.size() + 1, '\0'),
                   wire::kLevelDescriptions, wire::levelDescriptionsFixedSize(name.size())};
  wire::storeBe32(kind.request.data(), wire::kGetLevelDescriptionsRequest);
  wire::storeBe32(kind.request.data() + wire::glvd::kRequestIdOffset, kRequestId);
  std::memcpy(kind.request.data() + wire::glvd::kNameOffset, name.data(), name.size());
  for (const auto& level : BenchHost::get().levels())
    kind.replyBytes += wire::kFieldSize + level.second.size() + 1;
  return kind;
}

// Runs the timed loop against `server` and reports requests_per_second,
// server_cpu_ns_per_request (thread `serverTid`), lost (requests resent
// after a 200 ms silence), reply_bytes and allocs_per_request (every thread
// of the process, the server's included).
void driveRequests(benchmark::State& state, const sockaddr_in& server, pid_t serverTid,
                   const RequestKind& kind) {
  if (serverTid == 0) {
    state.SkipWithError("cannot tell the serving thread apart from the others");
    return;
  }
  UniqueFd client = openClientSocket();
  const timeval patience{0, 200000};
  if (!client ||
      ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0) {
    state.SkipWithError("cannot open the request client's socket");
    return;
  }
  std::array<char, wire::kMaxDatagramSize> reply;
  const auto send = [&] {
    sendDatagram(client.get(), kind.request.data(), kind.request.size(), server);
  };
  for (int i = 0; i < kWindow; ++i) send();

  long lost = 0;
  ssize_t wrongLength = -1;  // the length of a reply that was not the expected one
  std::size_t lastLength = 0;
  const long allocationsBefore = allocation_counter::processAllocations();
  const long long serverCpuBefore = threadCpuNanos(serverTid);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const ssize_t n = ::recv(client.get(), reply.data(), reply.size(), /*flags=*/0);
    if (n < 0) {
      ++lost;  // a dropped request or reply; replacing it keeps the window full
    } else if (static_cast<std::size_t>(n) != kind.replyBytes ||
               wire::loadBe32(reply.data()) != kind.replyDescriptor) {
      wrongLength = n;
    } else {
      lastLength = static_cast<std::size_t>(n);
    }
    send();
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const long long serverCpu = threadCpuNanos(serverTid) - serverCpuBefore;
  const long allocations = allocation_counter::processAllocations() - allocationsBefore;
  if (wrongLength >= 0) {
    state.SkipWithError(("unexpected reply of " + std::to_string(wrongLength) + " bytes").c_str());
    return;
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["requests_per_second"] = iterations / elapsed.count();
  state.counters["server_cpu_ns_per_request"] = static_cast<double>(serverCpu) / iterations;
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["reply_bytes"] = static_cast<double>(lastLength);
  state.counters["allocs_per_request"] = static_cast<double>(allocations) / iterations;
}

void BM_Request(benchmark::State& state, RequestKind (*makeKind)()) {
  TargetWithClients fixture(/*clientCount=*/0);
  if (!fixture.error().empty()) {
    state.SkipWithError(fixture.error().c_str());
    return;
  }
  driveRequests(state, fixture.address(), fixture.workerThread(), makeKind());
}

// The floor: a minimal epoll UDP server with the target's buffer handling.
class EchoServer {
 public:
  explicit EchoServer(std::size_t replyBytes) : reply(replyBytes - wire::kHeaderSize, 'r') {
    socketFd = openSocketLikeTarget(failure);
    if (!socketFd) return;
    epollFd.reset(::epoll_create1(EPOLL_CLOEXEC));
    stopFd.reset(::eventfd(0, EFD_CLOEXEC));
    if (!epollFd || !stopFd || !watch(socketFd.get()) || !watch(stopFd.get())) {
      failure = std::string("cannot set up the echo server: ") + std::strerror(errno);
      return;
    }
    const std::vector<pid_t> before = threadIds();
    server = std::thread(&EchoServer::serve, this);
    serverTid = newThreadSince(before);
  }
  ~EchoServer() { stopAndJoin(stopFd, server); }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  const std::string& error() const { return failure; }
  sockaddr_in address() const { return loopbackAddress(localPort(socketFd.get())); }
  pid_t serverThread() const { return serverTid; }

 private:
  bool watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(epollFd.get(), EPOLL_CTL_ADD, fd, &event) == 0;
  }

  // One datagram per wake-up, as the target's worker handles them.
  void serve() {
    std::vector<char> buffer(wire::kMaxDatagramSize);
    const std::array<char, wire::kUuidSize> uuid{};
    std::array<epoll_event, 4> events;
    for (;;) {
      const int ready =
          ::epoll_wait(epollFd.get(), events.data(), static_cast<int>(events.size()), -1);
      if (ready < 0) {
        if (errno == EINTR) continue;  // a signal, not a failure
        return;
      }
      for (int i = 0; i < ready; ++i) {
        if (events[static_cast<std::size_t>(i)].data.fd == stopFd.get()) return;
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t n = ::recvfrom(socketFd.get(), buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n < static_cast<ssize_t>(wire::kFieldSize)) continue;
        char* out = buffer.data();
        wire::storeBe32(out, wire::loadBe32(out) + 1);
        std::memcpy(out + wire::kUuidOffset, uuid.data(), uuid.size());
        std::memcpy(out + wire::kHeaderSize, reply.data(), reply.size());
        ::sendto(socketFd.get(), out, wire::kHeaderSize + reply.size(), 0,
                 reinterpret_cast<const sockaddr*>(&sender), sizeof sender);
      }
    }
  }

  const std::vector<char> reply;  // everything after the 20-byte header
  UniqueFd socketFd;
  UniqueFd epollFd;
  UniqueFd stopFd;
  std::string failure;
  std::thread server;
  pid_t serverTid = 0;
};

void BM_FloorEcho(benchmark::State& state, RequestKind (*makeKind)()) {
  const RequestKind kind = makeKind();
  EchoServer echo(kind.replyBytes);
  if (!echo.error().empty()) {
    state.SkipWithError(echo.error().c_str());
    return;
  }
  driveRequests(state, echo.address(), echo.serverThread(), kind);
}

// One block of `count` requests answered with kWindow in flight: wall-clock
// and serving-thread CPU nanoseconds per request, or nothing when a reply
// went missing (the block is then not counted).
struct BlockCost {
  double wallNs;
  double serverCpuNs;
};
std::optional<BlockCost> runBlock(int fd, const sockaddr_in& server, pid_t serverTid,
                                  const RequestKind& kind, int count) {
  std::array<char, wire::kMaxDatagramSize> reply;
  const long long cpuBefore = threadCpuNanos(serverTid);
  const auto start = std::chrono::steady_clock::now();
  int sent = 0;
  for (; sent < kWindow; ++sent) sendDatagram(fd, kind.request.data(), kind.request.size(), server);
  for (int received = 0; received < count; ++received) {
    if (::recv(fd, reply.data(), reply.size(), /*flags=*/0) < 0) return std::nullopt;
    if (sent < count) {
      sendDatagram(fd, kind.request.data(), kind.request.size(), server);
      ++sent;
    }
  }
  const std::chrono::duration<double, std::nano> wall = std::chrono::steady_clock::now() - start;
  const double cpu = static_cast<double>(threadCpuNanos(serverTid) - cpuBefore);
  return BlockCost{wall.count() / count, cpu / count};
}

double medianOf(std::vector<double>& values) {
  if (values.empty()) return 0;
  auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// paired_request_vs_echo: the target and the echo floor answer alternating
// blocks of requests from one client, and each pair of blocks gives one
// ratio (floor cost / target cost, so above 1 means the target is faster).
// Pairs a few milliseconds apart see the same load from other users of the
// machine. Iterations are block pairs; the reported time means nothing.
void BM_PairedRequestVsEcho(benchmark::State& state, RequestKind (*makeKind)()) {
  const RequestKind kind = makeKind();
  TargetWithClients fixture(/*clientCount=*/0);
  EchoServer echo(kind.replyBytes);
  UniqueFd client = openClientSocket();
  const timeval patience{0, 200000};
  std::string error = !fixture.error().empty() ? fixture.error() : echo.error();
  if (error.empty() && (fixture.workerThread() == 0 || echo.serverThread() == 0))
    error = "cannot tell the serving threads apart from the others";
  if (error.empty() && (!client || ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &patience,
                                                sizeof patience) != 0))
    error = "cannot open the request client's socket";
  if (!error.empty()) {
    state.SkipWithError(error.c_str());
    return;
  }
  constexpr int kBlock = 128;
  std::vector<double> rateRatios, cpuRatios;
  constexpr std::size_t kMaxPairs = 1 << 14;  // reserved up front
  rateRatios.reserve(kMaxPairs);
  cpuRatios.reserve(kMaxPairs);
  long failedBlocks = 0;
  bool targetFirst = true;
  for (auto _ : state) {
    std::optional<BlockCost> target, floor;
    if (targetFirst) {
      target = runBlock(client.get(), fixture.address(), fixture.workerThread(), kind, kBlock);
      floor = runBlock(client.get(), echo.address(), echo.serverThread(), kind, kBlock);
    } else {
      floor = runBlock(client.get(), echo.address(), echo.serverThread(), kind, kBlock);
      target = runBlock(client.get(), fixture.address(), fixture.workerThread(), kind, kBlock);
    }
    targetFirst = !targetFirst;
    if (!target || !floor) {
      ++failedBlocks;
      continue;
    }
    if (rateRatios.size() == kMaxPairs) continue;
    rateRatios.push_back(floor->wallNs / target->wallNs);
    cpuRatios.push_back(floor->serverCpuNs / target->serverCpuNs);
  }
  state.counters["rate_ratio"] = medianOf(rateRatios);
  state.counters["server_cpu_ratio"] = medianOf(cpuRatios);
  state.counters["failed_blocks"] = static_cast<double>(failedBlocks);
}

}  // namespace

void registerRequestBenchmarks() {
  benchmark::RegisterBenchmark("request/DRQ", BM_Request, discoveryRequest);
  benchmark::RegisterBenchmark("request/GLVD", BM_Request, levelDescriptionsRequest);
  benchmark::RegisterBenchmark("floor_echo/DRQ", BM_FloorEcho, discoveryRequest);
  benchmark::RegisterBenchmark("floor_echo/GLVD", BM_FloorEcho, levelDescriptionsRequest);
  benchmark::RegisterBenchmark("paired_request_vs_echo/DRQ", BM_PairedRequestVsEcho,
                               discoveryRequest);
  benchmark::RegisterBenchmark("paired_request_vs_echo/GLVD", BM_PairedRequestVsEcho,
                               levelDescriptionsRequest);
}

}  // namespace bench
