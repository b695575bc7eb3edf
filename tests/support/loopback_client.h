// tests/support/loopback_client.h
//
// A remote client on 127.0.0.1 for tests: its own UDP socket on a free port,
// datagrams to a target's port, replies awaited with a deadline. Also the
// request builders and reply readers tests use to speak to a target.
//
// Threads: one client per thread.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class LoopbackClient {
 public:
  LoopbackClient();
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  std::uint16_t port() const { return ownPort; }
  // "127.0.0.1:PORT", as the target's messages name the client.
  std::string address() const { return "127.0.0.1:" + std::to_string(ownPort); }
  void send(std::uint16_t targetPort, const Bytes& datagram) const;
  // The next datagram, or nullopt when none arrives before the timeout.
  std::optional<Bytes> receive(
      std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
  // Every datagram that arrives within the window.
  std::vector<Bytes> receiveAll(std::chrono::milliseconds window) const;
  // Registers with RRQ and consumes the confirm and the component infos
  // that follow (as many as `components`). False if the confirm is missing.
  bool registerWith(std::uint16_t targetPort, std::size_t components = 0) const;
  // Sends a DRQ and returns true once its response is the next datagram:
  // proof that nothing else arrived before it.
  bool probe(std::uint16_t targetPort,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
  // Shrinks the receive buffer so that unread datagrams are dropped.
  void setReceiveBuffer(int bytes) const;

 private:
  int fd = -1;
  std::uint16_t ownPort = 0;
};

// Requests.
Bytes descriptorOnly(std::uint32_t descriptor);
Bytes setLevelRequest(std::uint32_t requestId, std::uint32_t clientMask, const std::string& name);
Bytes levelDescriptionsRequest(std::uint32_t requestId, const std::string& name);

// Reading datagrams.
std::uint32_t be32At(const Bytes& datagram, std::size_t offset);
std::string stringAt(const Bytes& datagram, std::size_t offset);
Bytes be32(std::uint32_t value);
Bytes operator+(Bytes a, const Bytes& b);
Bytes bytesOf(const std::string& text, bool withNul = true);
