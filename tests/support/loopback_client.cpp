// tests/support/loopback_client.cpp: the test's remote client on loopback.
//
// Threads: one client per thread.
#include "support/loopback_client.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "common/client_socket.h"
#include "common/datagram_wait.h"
#include "common/socket_address.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

LoopbackClient::LoopbackClient() {
  fd = bindClientSocket(loopbackAddress(0)).release();
  if (fd < 0) throw std::runtime_error("cannot open client socket");
  ownPort = localPort(fd);
}

LoopbackClient::~LoopbackClient() { ::close(fd); }

void LoopbackClient::send(std::uint16_t targetPort, const Bytes& datagram) const {
  const sockaddr_in to = loopbackAddress(targetPort);
  ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

std::optional<Bytes> LoopbackClient::receive(std::chrono::milliseconds timeout) const {
  Bytes datagram(65536);
  const auto length = receiveWithin(fd, datagram.data(), datagram.size(), timeout);
  if (!length) return std::nullopt;
  datagram.resize(*length);
  return datagram;
}

std::vector<Bytes> LoopbackClient::receiveAll(std::chrono::milliseconds window) const {
  std::vector<Bytes> all;
  const auto deadline = std::chrono::steady_clock::now() + window;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return all;
    auto datagram = receive(left);
    if (!datagram) return all;
    all.push_back(std::move(*datagram));
  }
}

bool LoopbackClient::registerWith(std::uint16_t targetPort, std::size_t components) const {
  send(targetPort, descriptorOnly(wire::kRegistrationRequest));
  const auto confirm = receive();
  if (!confirm || be32At(*confirm, 0) != wire::kRegistrationConfirm) return false;
  for (std::size_t i = 0; i < components; ++i) {
    if (!receive()) return false;
  }
  return true;
}

bool LoopbackClient::probe(std::uint16_t targetPort, std::chrono::milliseconds timeout) const {
  send(targetPort, descriptorOnly(wire::kDiscoveryRequest));
  const auto reply = receive(timeout);
  return reply && reply->size() >= 4 && be32At(*reply, 0) == wire::kDiscoveryResponse;
}

void LoopbackClient::setReceiveBuffer(int bytes) const {
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

Bytes descriptorOnly(std::uint32_t descriptor) { return be32(descriptor); }

Bytes setLevelRequest(std::uint32_t requestId, std::uint32_t clientMask, const std::string& name) {
  return be32(wire::kSetLevelRequest) + be32(requestId) + be32(clientMask) + bytesOf(name);
}

Bytes levelDescriptionsRequest(std::uint32_t requestId, const std::string& name) {
  return be32(wire::kGetLevelDescriptionsRequest) + be32(requestId) + bytesOf(name);
}

std::uint32_t be32At(const Bytes& datagram, std::size_t offset) {
  if (offset + 4 > datagram.size()) throw std::out_of_range("32-bit field past the datagram");
  return wire::loadBe32(datagram.data() + offset);
}

std::string stringAt(const Bytes& datagram, std::size_t offset) {
  if (offset >= datagram.size()) throw std::out_of_range("string past the datagram");
  const auto* begin = reinterpret_cast<const char*>(datagram.data()) + offset;
  const void* nul = std::memchr(begin, 0, datagram.size() - offset);
  if (nul == nullptr) throw std::out_of_range("unterminated string");
  return std::string(begin, static_cast<const char*>(nul));
}

Bytes be32(std::uint32_t value) {
  Bytes bytes(4);
  wire::storeBe32(bytes.data(), value);
  return bytes;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes bytesOf(const std::string& text, bool withNul) {
  Bytes bytes(text.begin(), text.end());
  if (withNul) bytes.push_back(0);
  return bytes;
}
