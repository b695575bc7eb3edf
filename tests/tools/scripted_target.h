// tests/tools/scripted_target.h
//
// ScriptedTarget: a stand-in target whose records the test sends when it
// wants, as a burst (one sendmmsg() per client and 64 records) or as a
// steady flood, so that what a follower must cope with is exact. It
// confirms registrations (several clients), answers level-description
// requests (error, warning, info) unless told not to, confirms renewals
// unless told not to, and forgets a client on its unregistration. Records
// are numbered from 0; what each holds comes from a recipe (by default
// component "net", level info, text "record N", integers 0). It can
// restart as a new instance (a new uuid) at once.
//
// Threads: a thread of its own answers requests; send() and flood() may be
// called from the test's thread (the socket is shared, each call sends
// whole datagrams).
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/client_codec.h"
#include "common/socket_address.h"
#include "common/unique_fd.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace tooltest {

// What one record holds besides its number.
struct ScriptedRecord {
  std::string component = "net";
  std::uint32_t clientLevel = 29;  // info
  std::string text;
  std::string file = "/src/main.cpp";
  std::string function = "run";
  std::array<std::int32_t, 4> integers{};  // pid, tid, tick, line
};
using RecordRecipe = std::function<ScriptedRecord(std::uint32_t sequence)>;

class ScriptedTarget {
 public:
  explicit ScriptedTarget(RecordRecipe recipe =
                              [](std::uint32_t sequence) {
                                return ScriptedRecord{.text = "record " + std::to_string(sequence)};
                              })
      : recipe(std::move(recipe)) {
    const sockaddr_in any = loopbackAddress(0);
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    port = localPort(fd.get());
    server = std::thread([this] { serve(); });
  }
  ~ScriptedTarget() {
    stopFlood();
    stop = true;
    server.join();
  }
  std::string target() const { return "127.0.0.1:" + std::to_string(port); }
  bool registered() const {
    std::lock_guard lock(clientMutex);
    return !clients.empty();
  }
  bool waitForClients(std::size_t n) {
    std::unique_lock lock(clientMutex);
    return clientCame.wait_for(lock, std::chrono::seconds(10), [&] { return clients.size() >= n; });
  }
  std::uint32_t nextSequence() const { return sequence.load(); }
  // The clients registered, in order of registration.
  std::vector<sockaddr_in> clientList() const {
    std::lock_guard lock(clientMutex);
    return clients;
  }
  // Whether level-description requests are answered (as a target whose
  // answers are lost on the way).
  void answerLevels(bool on) { levelsAnswered = on; }
  // Whether the renewal of a registered client is confirmed (as a target
  // whose confirms drown on the way); the renewal counts all the same.
  void confirmRenewals(bool on) { renewalsConfirmed = on; }
  // Sends `count` records to each new client before its confirm, as a real
  // target's host threads may between adding the client and confirming.
  void sendBeforeConfirm(std::uint32_t count) { beforeConfirm = count; }

  // From now on the target is a new instance: its uuid starts with
  // `instance` (0 at first) in every datagram, and it numbers records from
  // 0 again.
  void restart(std::uint8_t instance) {
    this->instance = instance;
    sequence = 0;
  }

  // Sends `count` records back to back to every client, `skip` numbers
  // left out first.
  void send(std::uint32_t count, std::uint32_t skip = 0) {
    sequence += skip;
    std::vector<codec::Bytes> records;
    records.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) records.push_back(record(sequence++));
    std::vector<iovec> parts;
    for (codec::Bytes& bytes : records) parts.push_back({bytes.data(), bytes.size()});
    for (sockaddr_in to : clientList()) {
      std::vector<mmsghdr> messages(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      for (std::size_t sent = 0; sent < count;) {
        const int n =
            ::sendmmsg(fd.get(), messages.data() + sent, static_cast<unsigned>(count - sent), 0);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    }
  }
  // Sends `bytes` as one datagram to every client, as a broken target would.
  void sendRaw(const codec::Bytes& bytes) {
    for (const sockaddr_in& to : clientList()) {
      ::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
  }
  // Sends batches of 64 from a thread of its own until stopFlood().
  void flood() {
    flooding = true;
    flooder = std::thread([this] {
      while (flooding) send(64);
    });
  }
  void stopFlood() {
    flooding = false;
    if (flooder.joinable()) flooder.join();
  }

 private:
  codec::Bytes record(std::uint32_t sequence) const {
    const ScriptedRecord content = recipe(sequence);
    codec::Bytes out(wire::log_record::kStringsOffset);
    wire::storeBe32(out.data(), wire::kLogRecord);
    out[wire::kUuidOffset] = instance;
    wire::storeBe32(out.data() + wire::log_record::kSequenceOffset, sequence);
    wire::storeBe32(out.data() + wire::log_record::kClientMaskOffset, 1u << content.clientLevel);
    for (std::size_t i = 0; i < content.integers.size(); ++i) {
      wire::storeBe32(out.data() + wire::log_record::kIntegersOffset + i * wire::kFieldSize,
                      static_cast<std::uint32_t>(content.integers[i]));
    }
    for (const std::string& text :
         {content.component, content.file, content.function, content.text}) {
      out.insert(out.end(), text.begin(), text.end());
      out.push_back(0);
    }
    return out;
  }
  void forget(const sockaddr_in& client) {
    std::lock_guard lock(clientMutex);
    std::erase_if(clients, [&](const sockaddr_in& c) { return c.sin_port == client.sin_port; });
  }
  void serve() {
    while (!stop) {
      pollfd ready{fd.get(), POLLIN, 0};
      if (::poll(&ready, 1, 20) <= 0) continue;
      std::uint8_t request[wire::kMaxDatagramSize];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = ::recvfrom(fd.get(), request, sizeof request, 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
      if (n < static_cast<ssize_t>(wire::kFieldSize)) continue;
      codec::Bytes reply(wire::kHeaderSize);
      bool newClient = false;
      switch (wire::loadBe32(request)) {
        case wire::kRegistrationRequest: {
          std::lock_guard lock(clientMutex);
          const bool renewal =
              std::any_of(clients.begin(), clients.end(),
                          [&](const sockaddr_in& c) { return c.sin_port == from.sin_port; });
          if (renewal && !renewalsConfirmed) continue;
          newClient = !renewal;
          wire::storeBe32(reply.data(), wire::kRegistrationConfirm);
          reply.insert(reply.end(), {'t', 'e', 's', 't', 0});
          break;
        }
        case wire::kGetLevelDescriptionsRequest: {
          if (!levelsAnswered) continue;
          wire::storeBe32(reply.data(), wire::kLevelDescriptions);
          const auto be32 = [&](std::uint32_t v) {
            reply.resize(reply.size() + wire::kFieldSize);
            wire::storeBe32(reply.data() + reply.size() - wire::kFieldSize, v);
          };
          be32(wire::loadBe32(request + wire::kFieldSize));  // the request id
          be32(0xE0000000u);
          reply.insert(reply.end(), request + 2 * wire::kFieldSize,
                       request + n);  // the name and its NUL
          for (std::uint32_t v : {3u, 31u, 30u, 29u}) be32(v);
          for (const char* text : {"error", "warning", "info"})
            reply.insert(reply.end(), text, text + std::strlen(text) + 1);
          break;
        }
        case wire::kUnregistrationRequest:
          forget(from);
          continue;
        default:
          continue;
      }
      reply[wire::kUuidOffset] = instance;
      for (std::uint32_t i = 0; newClient && i < beforeConfirm; ++i) {
        const codec::Bytes early = record(sequence++);
        ::sendto(fd.get(), early.data(), early.size(), 0, reinterpret_cast<const sockaddr*>(&from),
                 sizeof from);
      }
      // Long enough for the follower to read them before the confirm comes.
      if (newClient && beforeConfirm > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ::sendto(fd.get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               sizeof from);
      // A new client gets send()'s records only after its confirm.
      if (newClient) {
        std::lock_guard lock(clientMutex);
        clients.push_back(from);
        clientCame.notify_all();
      }
    }
  }

  UniqueFd fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  int port = 0;
  const RecordRecipe recipe;
  std::atomic<bool> stop{false};
  std::atomic<bool> flooding{false};
  std::atomic<bool> levelsAnswered{true};
  std::atomic<bool> renewalsConfirmed{true};
  std::atomic<std::uint32_t> beforeConfirm{0};
  std::atomic<std::uint32_t> sequence{0};
  std::atomic<std::uint8_t> instance{0};  // the first byte of the uuid
  mutable std::mutex clientMutex;
  std::condition_variable clientCame;
  std::vector<sockaddr_in> clients;  // guarded by clientMutex, in order of registration
  std::thread server;
  std::thread flooder;
};

}  // namespace tooltest
