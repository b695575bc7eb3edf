// tests/tools/scripted_target.h
//
// ScriptedTarget: a stand-in target whose records the test sends when it
// wants, as a burst (one sendmmsg() per 64) or as a steady flood, so that
// what a follower must cope with is exact. It confirms registrations,
// answers level-description requests (error, warning, info) and forgets
// its client on an unregistration; records come from component "net",
// numbered from 0.
//
// Threads: a thread of its own answers requests; send() and flood() may be
// called from the test's thread (the socket is shared, each call sends
// whole datagrams).
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "byte_order.h"
#include "codec/client_codec.h"
#include "common/socket_address.h"
#include "common/unique_fd.h"
#include "wire_format.h"

namespace tooltest {

class ScriptedTarget {
 public:
  ScriptedTarget() {
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
  bool registered() const { return hasClient.load(); }
  std::uint32_t nextSequence() const { return sequence.load(); }

  // Sends `count` records back to back, `skip` numbers left out first.
  void send(std::uint32_t count, std::uint32_t skip = 0) {
    sequence += skip;
    std::vector<codec::Bytes> records;
    std::vector<iovec> parts;
    std::vector<mmsghdr> messages(count);
    records.reserve(count);
    parts.reserve(count);
    sockaddr_in to = client();
    for (std::uint32_t i = 0; i < count; ++i) {
      records.push_back(record(sequence++));
      parts.push_back({records.back().data(), records.back().size()});
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &parts.back();
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    for (std::size_t sent = 0; sent < count;) {
      const int n =
          ::sendmmsg(fd.get(), messages.data() + sent, static_cast<unsigned>(count - sent), 0);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
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
  static codec::Bytes record(std::uint32_t sequence) {
    codec::Bytes out(wire::log_record::kStringsOffset);
    wire::storeBe32(out.data(), wire::kLogRecord);
    wire::storeBe32(out.data() + wire::log_record::kSequenceOffset, sequence);
    wire::storeBe32(out.data() + wire::log_record::kClientMaskOffset, 1u << 29);  // info
    for (const std::string& text : {std::string("net"), std::string("/src/main.cpp"),
                                    std::string("run"), "record " + std::to_string(sequence)}) {
      out.insert(out.end(), text.begin(), text.end());
      out.push_back(0);
    }
    return out;
  }
  sockaddr_in client() {
    std::lock_guard<std::mutex> lock(clientMutex);
    return clientAddress;
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
      switch (wire::loadBe32(request)) {
        case wire::kRegistrationRequest: {
          std::lock_guard<std::mutex> lock(clientMutex);
          clientAddress = from;
          wire::storeBe32(reply.data(), wire::kRegistrationConfirm);
          reply.insert(reply.end(), {'t', 'e', 's', 't', 0});
          hasClient = true;
          break;
        }
        case wire::kGetLevelDescriptionsRequest: {
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
          hasClient = false;
          continue;
        default:
          continue;
      }
      ::sendto(fd.get(), reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               sizeof from);
    }
  }

  UniqueFd fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  int port = 0;
  std::atomic<bool> stop{false};
  std::atomic<bool> hasClient{false};
  std::atomic<bool> flooding{false};
  std::atomic<std::uint32_t> sequence{0};
  std::mutex clientMutex;
  sockaddr_in clientAddress{};
  std::thread server;
  std::thread flooder;
};

}  // namespace tooltest
