// bench/client_bench.cpp
//
// tarvin-remote's receive path, fed by a FastTarget that sends faster than
// any client reads, each beside the floors of the same run:
//   client_floor/drain        a bare recvmmsg() loop of 64 that only
//                             counts datagrams
//   client_floor/drain_write  the same with a bare write() of each
//                             datagram's text to /dev/null
//   client/tail_text          `tail TARGET`, stdout on /dev/null
//   client/tail_json          `tail TARGET --json`
//   client/forward_udp        `forward TARGET --to udp://...`, a collector
//                             socket nobody reads
//   client/forward_tcp        `forward TARGET --to tcp://...`, a collector
//                             a thread reads and throws away
//   client/record             `record TARGET --db FILE` (the store is
//                             written on the writer's own thread)
//   client/record_20_rules    the same with --alerts: 20 rules (regex,
//                             level and rate) on every record
// The commands run in-process on the benchmark thread, as main() runs
// them, for TARVIN_BENCH_CLIENT_SECONDS (1) each. Counters:
//   records_per_second      records received per wall-clock second
//   records_per_cpu_second  the same per CPU second of the receiving
//                           thread: what one core keeps up with, which the
//                           sender on the other core cannot stretch
//   allocs_per_record       the receiving thread's allocations over the
//                           records it received, less those of the same
//                           command following a target that sends nothing
//                           (options, registration, the final summary)
//
// Threads: the benchmark thread runs the client; the FastTarget and the
// TCP collector have threads of their own.
#include "client_bench.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "base/tool_error.h"
#include "common/datagram_wait.h"
#include "common/socket_address.h"
#include "common/unique_fd.h"
#include "fast_target.h"
#include "remote/command.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace bench {
namespace {

double runSeconds() {
  const char* text = std::getenv("TARVIN_BENCH_CLIENT_SECONDS");
  const double seconds = text != nullptr ? std::atof(text) : 1.0;
  return seconds > 0 ? seconds : 1.0;
}

long long threadCpuNow() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

// What one measured run gives, and the counters it becomes.
struct Measured {
  long records = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;
  long allocations = 0;

  void report(benchmark::State& state) const {
    state.SetIterationTime(wallSeconds);
    state.counters["records_per_second"] = static_cast<double>(records) / wallSeconds;
    state.counters["records_per_cpu_second"] = static_cast<double>(records) / cpuSeconds;
    state.counters["allocs_per_record"] =
        records > 0 ? static_cast<double>(allocations) / records : -1;
    state.counters["records"] = static_cast<double>(records);
  }
};

// Measures `work` on this thread: wall time, CPU time, allocations.
template <typename Work>
Measured measure(Work&& work) {
  Measured m;
  const long allocationsBefore = allocation_counter::threadAllocations();
  const long long cpuBefore = threadCpuNow();
  const auto wallBefore = std::chrono::steady_clock::now();
  m.records = work();
  m.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  m.cpuSeconds = static_cast<double>(threadCpuNow() - cpuBefore) / 1e9;
  m.allocations = allocation_counter::threadAllocations() - allocationsBefore;
  return m;
}

// ---- floors ----

// Registers `fd` with the target at `address` and waits for the confirm.
bool registerWith(int fd, const std::string& address) {
  const sockaddr_in to =
      loopbackAddress(static_cast<std::uint16_t>(std::stoi(address.substr(address.find(':') + 1))));
  std::uint8_t rrq[wire::kFieldSize];
  wire::storeBe32(rrq, wire::kRegistrationRequest);
  ::sendto(fd, rrq, sizeof rrq, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  std::uint8_t reply[wire::kMaxDatagramSize];
  for (int i = 0; i < 100; ++i) {
    const auto n = receiveWithin(fd, reply, sizeof reply, std::chrono::milliseconds(100));
    if (n && *n >= wire::kFieldSize && wire::loadBe32(reply) == wire::kRegistrationConfirm)
      return true;
  }
  return false;
}

// The bare loop: recvmmsg() of 64 until the time is up, counting; with
// `write`, each datagram's text (its last string) goes to /dev/null.
long drain(int fd, double seconds, bool write) {
  constexpr std::size_t kBatch = 64;
  static std::array<std::array<std::uint8_t, wire::kMaxDatagramSize>, kBatch> buffers;
  std::array<iovec, kBatch> parts;
  std::array<mmsghdr, kBatch> messages{};
  UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const timeval slice{0, 100'000};  // so the loop sees the end of its time
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  long count = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      parts[i] = {buffers[i].data(), buffers[i].size()};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(fd, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0) continue;
    count += n;
    if (!write) continue;
    for (int i = 0; i < n; ++i) {
      const std::uint8_t* bytes = buffers[static_cast<std::size_t>(i)].data();
      std::size_t length = messages[static_cast<std::size_t>(i)].msg_len;
      // The text is the last string: back from its NUL to the one before.
      std::size_t start = length >= 2 ? length - 2 : 0;
      while (start > 0 && bytes[start - 1] != 0) --start;
      benchmark::DoNotOptimize(::write(devNull.get(), bytes + start, length - 1 - start));
    }
  }
  std::uint8_t urq[wire::kFieldSize];
  wire::storeBe32(urq, wire::kUnregistrationRequest);
  ::send(fd, urq, sizeof urq, 0);
  return count;
}

void BM_ClientFloor(benchmark::State& state, bool write) {
  for (auto _ : state) {
    FastTarget target;
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int buffer = 32 << 20;  // as tail asks
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    const sockaddr_in any = loopbackAddress(0);
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    if (!target.error().empty() || !registerWith(fd.get(), target.address())) {
      state.SkipWithError("the stand-in target did not confirm");
      return;
    }
    const sockaddr_in to = loopbackAddress(static_cast<std::uint16_t>(
        std::stoi(target.address().substr(target.address().find(':') + 1))));
    ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
    measure([&] { return drain(fd.get(), runSeconds(), write); }).report(state);
  }
}

// ---- the commands ----

// Runs `args` as tarvin-remote would, stdout on /dev/null and stderr kept;
// returns the records the follower says it received.
long runCommand(const remote::Command& command, std::vector<std::string> args, std::string& err) {
  CLI::App app;
  CLI::App* parser = app.add_subcommand(command.name, command.description);
  const remote::Run run = command.setUp(*parser);
  args.insert(args.begin(), {"tarvin-remote", command.name});
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  app.parse(static_cast<int>(argv.size()), argv.data());

  std::cout.flush();
  std::fflush(stdout);
  UniqueFd savedOut(::dup(STDOUT_FILENO)), savedErr(::dup(STDERR_FILENO));
  UniqueFd devNull(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  UniqueFd errFile(::memfd_create("client-bench-stderr", MFD_CLOEXEC));
  ::dup2(devNull.get(), STDOUT_FILENO);
  ::dup2(errFile.get(), STDERR_FILENO);
  try {
    run();
  } catch (const remote::ToolError& e) {
    std::cerr << "tarvin-remote: error: " << e.message << '\n';
  }
  ::dup2(savedOut.get(), STDOUT_FILENO);
  ::dup2(savedErr.get(), STDERR_FILENO);

  err.clear();
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(errFile.get(), chunk, sizeof chunk, at);
    if (n <= 0) break;
    err.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
  const std::size_t at = err.rfind("received ");
  return at == std::string::npos ? -1 : std::atol(err.c_str() + at + 9);
}

// A TCP collector that reads everything and closes once we have.
class TcpCollector {
 public:
  TcpCollector() {
    const sockaddr_in any = loopbackAddress(0);
    ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    ::listen(listener.get(), 1);
    port = localPort(listener.get());
    reader = std::thread([this] {
      UniqueFd connection(::accept(listener.get(), nullptr, nullptr));
      static char sink[1 << 16];
      while (::read(connection.get(), sink, sizeof sink) > 0) {
      }
    });
  }
  ~TcpCollector() {
    ::shutdown(listener.get(), SHUT_RDWR);  // ends an accept() nobody answered
    reader.join();
  }
  std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port); }

 private:
  UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  std::uint16_t port = 0;
  std::thread reader;
};

enum class Client { kTailText, kTailJson, kForwardUdp, kForwardTcp, kRecord, kRecordRules };

// Twenty rules of the kinds operators write, none of which fires on the
// benchmark's records: seven regexes, seven levels, six rates.
std::string writeRules(const std::string& path) {
  const char* const patterns[] = {"timeout|refused", "disk (full|failing)", "user [0-9]+ gone",
                                  "deadlock",        "^GET /admin",         "retry #[0-9]{3,}",
                                  "out of memory"};
  std::ofstream rules(path);
  int n = 0;
  for (const char* pattern : patterns) {
    rules << "[[rule]]\nname = \"regex " << ++n << "\"\ngrep = \"" << pattern
          << "\"\ncondition = \"count >= 1000000 within 1m\"\n";
  }
  const char* const components[] = {"net", "db", "ui"};
  for (int i = 0; i < 7; ++i) {
    rules << "[[rule]]\nname = \"level " << ++n << "\"\ncomponents = [\"" << components[i % 3]
          << "\"]\nmin_level = \"" << (i % 2 == 0 ? "error" : "warning")
          << "\"\ncondition = \"count >= 1000000 within 1m\"\n";
  }
  for (int i = 0; i < 6; ++i) {
    rules << "[[rule]]\nname = \"rate " << ++n << "\"\ncomponents = [\"" << components[i % 3]
          << "\"]\ncondition = \"rate > 100000000/s over 10s\"\n";
  }
  return path;
}

// One run of `client` against `target` for `seconds`.
Measured follow(Client client, const FastTarget& target, double seconds, std::string& err) {
  const std::string duration = std::to_string(static_cast<int>(seconds * 1000)) + "ms";
  UniqueFd udpCollector(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  std::optional<TcpCollector> tcpCollector;
  std::vector<std::string> args = {target.address(), "--duration", duration};
  const remote::Command* command = &remote::kTailCommand;
  if (client == Client::kTailJson) args.push_back("--json");
  if (client == Client::kForwardUdp) {
    const sockaddr_in any = loopbackAddress(0);
    ::bind(udpCollector.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    args.insert(args.end(),
                {"--to", "udp://127.0.0.1:" + std::to_string(localPort(udpCollector.get()))});
    command = &remote::kForwardCommand;
  }
  if (client == Client::kForwardTcp) {
    tcpCollector.emplace();
    args.insert(args.end(), {"--to", tcpCollector->url()});
    command = &remote::kForwardCommand;
  }
  char directory[] = "/tmp/client_bench.XXXXXX";
  const bool records = client == Client::kRecord || client == Client::kRecordRules;
  if (records) {
    if (::mkdtemp(directory) == nullptr) return {};
    args.insert(args.end(), {"--db", std::string(directory) + "/logs.db"});
    if (client == Client::kRecordRules)
      args.insert(args.end(), {"--alerts", writeRules(std::string(directory) + "/rules.toml")});
    command = &remote::kRecordCommand;
  }
  Measured measured = measure([&] { return runCommand(*command, args, err); });
  if (records) std::filesystem::remove_all(directory);
  return measured;
}

void BM_Client(benchmark::State& state, Client client) {
  std::string err;
  static std::map<Client, long> startUp;  // allocations of a run without records
  if (!startUp.contains(client)) {
    FastTarget silent(/*flood=*/false);
    startUp[client] = follow(client, silent, /*seconds=*/0.2, err).allocations;
  }
  for (auto _ : state) {
    FastTarget target;
    if (!target.error().empty()) {
      state.SkipWithError(target.error().c_str());
      return;
    }
    Measured m = follow(client, target, runSeconds(), err);
    if (m.records <= 0) {
      state.SkipWithError(("the client received nothing: " + err).c_str());
      return;
    }
    m.allocations -= startUp[client];
    m.report(state);
  }
}

}  // namespace

void registerClientBenchmarks() {
  const auto add = [](const char* name, auto function, auto argument) {
    benchmark::RegisterBenchmark(name, function, argument)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  add("client_floor/drain", BM_ClientFloor, false);
  add("client_floor/drain_write", BM_ClientFloor, true);
  add("client/tail_text", BM_Client, Client::kTailText);
  add("client/tail_json", BM_Client, Client::kTailJson);
  add("client/forward_udp", BM_Client, Client::kForwardUdp);
  add("client/forward_tcp", BM_Client, Client::kForwardTcp);
  add("client/record", BM_Client, Client::kRecord);
  add("client/record_20_rules", BM_Client, Client::kRecordRules);
}

}  // namespace bench
