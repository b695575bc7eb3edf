// bench/fast_target.cpp
//
// The stand-in target's datagrams and its serving loop: between two
// batches of 64 records it looks for one request without waiting, so a
// client's requests are answered within a batch's time.
//
// Threads: serve() runs on the target's thread and alone touches the
// socket; the benchmark thread only starts and joins it.
#include "fast_target.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/socket_address.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace bench {
namespace {

constexpr std::size_t kBatch = 64;
// Between the first records and the flood: time for a client's requests
// for level descriptions, however busy the machine.
constexpr std::chrono::milliseconds kStartUp{50};
constexpr std::uint8_t kUuid[wire::kUuidSize] = {0xfa, 0x57, 0, 1, 2,  3,  4,  5,
                                                 6,    7,    8, 9, 10, 11, 12, 13};
constexpr const char* kComponents[] = {"net", "db", "ui"};
constexpr const char* kTexts[] = {"accepted connection (#1234567)", "query done in 3 ms",
                                  "frame took 40 ms, dropping one", "deadlock detected, retrying"};

// Appends datagram fields. Reserved up front: GCC 12 at -O3 takes the
// growing insert for an out-of-bounds memcpy and warns, falsely.
struct Datagram {
  explicit Datagram(std::uint32_t descriptor) {
    bytes.reserve(wire::kMaxDatagramSize);
    be32(descriptor);
    bytes.insert(bytes.end(), std::begin(kUuid), std::end(kUuid));
  }
  Datagram& be32(std::uint32_t value) {
    bytes.resize(bytes.size() + wire::kFieldSize);
    wire::storeBe32(bytes.data() + bytes.size() - wire::kFieldSize, value);
    return *this;
  }
  Datagram& str(std::string_view text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
    return *this;
  }
  std::vector<std::uint8_t> bytes;
};

std::vector<std::uint8_t> record(std::size_t i) {
  const std::uint32_t clientLevel = 31 - static_cast<std::uint32_t>(i % 3);  // error, warning, info
  return Datagram(wire::kLogRecord)
      .be32(0)  // the sequence number, set per send
      .be32(4242)
      .be32(4243 + static_cast<std::uint32_t>(i % 2))
      .be32(1'000'000)
      .be32(100 + static_cast<std::uint32_t>(i))
      .be32(std::uint32_t{1} << clientLevel)
      .str(kComponents[i % 3])
      .str("/home/build/src/server/connection.cpp")
      .str("handleRequest")
      .str(kTexts[i % 4])
      .bytes;
}

}  // namespace

FastTarget::FastTarget(bool flood) : flood(flood) {
  socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in any = loopbackAddress(0);
  if (!socket || ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    failure = std::string("cannot bind the stand-in target: ") + std::strerror(errno);
    return;
  }
  port = localPort(socket.get());
  server = std::thread([this] { serve(); });
}

FastTarget::~FastTarget() {
  stop = true;
  if (server.joinable()) server.join();
}

std::string FastTarget::address() const { return "127.0.0.1:" + std::to_string(port); }

void FastTarget::serve() {
  std::array<std::vector<std::uint8_t>, kBatch> batch;
  std::array<iovec, kBatch> parts;
  std::array<mmsghdr, kBatch> messages{};
  for (std::size_t i = 0; i < kBatch; ++i) {
    batch[i] = record(i);
    parts[i] = {batch[i].data(), batch[i].size()};
  }
  const std::vector<std::uint8_t> confirm =
      Datagram(wire::kRegistrationConfirm).str("fast-target").bytes;
  std::uint32_t sequence = 0;
  bool registered = false;
  sockaddr_in client{};
  std::chrono::steady_clock::time_point floodFrom;

  while (!stop.load(std::memory_order_relaxed)) {
    std::uint8_t request[wire::kMaxDatagramSize];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    pollfd ready{socket.get(), POLLIN, 0};
    // Idle: wait a little for a client; flooding: only look.
    const int waiting = ::poll(&ready, 1, registered && flood ? 0 : 5);
    const ssize_t n = waiting > 0 ? ::recvfrom(socket.get(), request, sizeof request, MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &fromLength)
                                  : -1;
    if (n >= static_cast<ssize_t>(wire::kFieldSize)) {
      const auto reply = [&](const std::vector<std::uint8_t>& bytes) {
        ::sendto(socket.get(), bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&from), sizeof from);
      };
      switch (wire::loadBe32(request)) {
        case wire::kRegistrationRequest:
          reply(confirm);
          client = from;
          registered = true;
          // One record of each component first: the client asks for their
          // levels and is done starting up when the flood begins.
          for (std::size_t i = 0; i < std::size(kComponents); ++i, ++sequence) {
            wire::storeBe32(batch[i].data() + wire::log_record::kSequenceOffset, sequence);
            ::sendto(socket.get(), batch[i].data(), batch[i].size(), 0,
                     reinterpret_cast<const sockaddr*>(&from), sizeof from);
          }
          records.fetch_add(std::size(kComponents), std::memory_order_relaxed);
          floodFrom = std::chrono::steady_clock::now() + kStartUp;
          break;
        case wire::kUnregistrationRequest:
          registered = false;
          break;
        case wire::kGetLevelDescriptionsRequest:
          if (n >= static_cast<ssize_t>(wire::glvd::kMinSize) && request[n - 1] == 0) {
            const char* name = reinterpret_cast<const char*>(request) + wire::glvd::kMinSize - 1;
            reply(Datagram(wire::kLevelDescriptions)
                      .be32(wire::loadBe32(request + wire::kFieldSize))
                      .be32(0xE0000000)
                      .str(name)
                      .be32(3)
                      .be32(31)
                      .be32(30)
                      .be32(29)
                      .str("error")
                      .str("warning")
                      .str("info")
                      .bytes);
          }
          break;
        default:
          break;
      }
    }
    if (!registered || !flood || std::chrono::steady_clock::now() < floodFrom) continue;
    for (std::size_t i = 0; i < kBatch; ++i) {
      wire::storeBe32(batch[i].data() + wire::log_record::kSequenceOffset,
                      sequence + static_cast<std::uint32_t>(i));
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &client;
      messages[i].msg_hdr.msg_namelen = sizeof client;
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int sent = ::sendmmsg(socket.get(), messages.data(), kBatch, 0);
    if (sent <= 0) continue;
    sequence += static_cast<std::uint32_t>(sent);  // the rest go again with the next batch
    records.fetch_add(sent, std::memory_order_relaxed);
  }
}

}  // namespace bench
