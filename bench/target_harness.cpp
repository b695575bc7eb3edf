// bench/target_harness.cpp
//
// Loading the plug-in into the stand-in host, finding the target's port by
// discovery, registering loopback clients, and the log records' strings.
//
// Threads: benchmark threads only; see target_harness.h.
#include "target_harness.h"

#include <unistd.h>

#include <array>
#include <cassert>
#include <cstring>

#include "thread_cpu.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

#ifndef TARVIN_PLUGIN_PATH
#error "TARVIN_PLUGIN_PATH must name the plug-in that the benchmarks load"
#endif

namespace bench {

namespace {
using namespace std::chrono_literals;

bool isDescriptor(const char* datagram, std::size_t length, std::uint32_t descriptor) {
  return length >= wire::kFieldSize && wire::loadBe32(datagram) == descriptor;
}
}  // namespace

BenchHost& BenchHost::get() {
  static BenchHost host;
  return host;
}

BenchHost::BenchHost()
    : appName("tarvin-bench-" + std::to_string(::getpid())),
      componentLevels{{0, "fatal"}, {1, "error"}, {2, "warning"},
                      {3, "info"},  {4, "debug"}, {5, "trace"}} {
  // Before the first target: targets keep a reference to the name.
  tarvin::setApplicationName(appName);
  tarvin::defineComponent(kComponentName, /*mask=*/0x3f, componentLevels);
  loaded = tarvin::Plugin::load(TARVIN_PLUGIN_PATH, failure);
  if (!loaded && failure.empty()) failure = "cannot load " TARVIN_PLUGIN_PATH;
}

TargetWithClients::TargetWithClients(std::size_t clientCount) : clients(clientCount) {
  BenchHost& host = BenchHost::get();
  if (!host.error().empty()) {
    failure = host.error();
    return;
  }
  if (!clients.error().empty()) {
    failure = clients.error();
    return;
  }
  // The constructor starts the worker thread: the one new thread.
  const std::vector<pid_t> before = threadIds();
  logTarget = host.plugin()->createTarget();
  workerTid = newThreadSince(before);
  if (logTarget == nullptr) {
    failure = "the plug-in made no log target";
    return;
  }
  if (!findTarget()) return;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (!registerClient(clients.fd(i))) return;
  }
  if (!clients.startDraining()) failure = clients.error();
}

TargetWithClients::~TargetWithClients() {
  // The target goes first: its worker thread is joined, so no late reply is
  // in flight when the drain thread stops.
  if (logTarget != nullptr) BenchHost::get().plugin()->releaseTarget(logTarget);
}

bool TargetWithClients::findTarget() {
  // Without a network namespace of its own, other targets may hold ports of
  // the range: ours is the one that answers with this process's name.
  UniqueFd probe = openClientSocket();
  if (!probe) {
    failure = std::string("cannot open the discovery socket: ") + std::strerror(errno);
    return false;
  }
  const std::string& name = BenchHost::get().applicationName();
  std::array<char, wire::kFieldSize> drq{};
  wire::storeBe32(drq.data(), wire::kDiscoveryRequest);
  std::array<char, wire::kMaxDatagramSize> reply;
  for (int attempt = 0; attempt < 3; ++attempt) {
    for (std::uint16_t i = 0; i < wire::kPortCount; ++i) {
      sendDatagram(probe.get(), drq.data(), drq.size(),
                   loopbackAddress(static_cast<std::uint16_t>(wire::kFirstPort + i)));
    }
    sockaddr_in from{};
    while (auto length = receiveWithin(probe.get(), reply.data(), reply.size(), 500ms, &from)) {
      if (!isDescriptor(reply.data(), *length, wire::kDiscoveryResponse)) continue;
      if (*length != wire::appinfo::kNameOffset + name.size() + 1) continue;
      if (std::memcmp(reply.data() + wire::appinfo::kNameOffset, name.c_str(), name.size() + 1) !=
          0)
        continue;
      targetAddress = loopbackAddress(ntohs(from.sin_port));
      return true;
    }
  }
  failure = "no target of this process answered discovery on ports 57008-57017";
  return false;
}

bool TargetWithClients::registerClient(int fd) {
  std::array<char, wire::kFieldSize> rrq{};
  wire::storeBe32(rrq.data(), wire::kRegistrationRequest);
  std::array<char, wire::kMaxDatagramSize> reply;
  for (int attempt = 0; attempt < 3; ++attempt) {
    sendDatagram(fd, rrq.data(), rrq.size(), targetAddress);
    while (auto length = receiveWithin(fd, reply.data(), reply.size(), 1s)) {
      // The component infos that follow the confirm are left to the drain
      // thread; the confirm means the registry already holds this client.
      if (isDescriptor(reply.data(), *length, wire::kRegistrationConfirm)) return true;
    }
  }
  failure = "the target did not confirm a registration";
  return false;
}

RecordStrings makeRecordStrings(std::size_t recordBytes) {
  RecordStrings s{kComponentName, "bench/log_bench.cpp", "logOnce", ""};
  const std::size_t fixed =
      wire::log_record::kMinSize + s.component.size() + s.file.size() + s.function.size();
  assert(recordBytes >= fixed && recordBytes < wire::kMaxDatagramSize &&
         "record size out of range");
  // Printable, so a packet capture of a run stays readable.
  s.text.resize(recordBytes - fixed);
  for (std::size_t i = 0; i < s.text.size(); ++i) s.text[i] = static_cast<char>('a' + i % 26);
  return s;
}

std::vector<char> recordBytesOf(const RecordStrings& strings) {
  namespace layout = wire::log_record;
  const std::size_t total = layout::kMinSize + strings.component.size() + strings.file.size() +
                            strings.function.size() + strings.text.size();
  std::vector<char> record(total, '\0');
  wire::storeBe32(record.data(), wire::kLogRecord);
  char* at = record.data() + layout::kStringsOffset;
  for (const std::string* text :
       {&strings.component, &strings.file, &strings.function, &strings.text}) {
    std::memcpy(at, text->data(), text->size());
    at += text->size() + 1;  // the NUL is already there
  }
  return record;
}

}  // namespace bench
