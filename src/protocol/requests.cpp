// src/protocol/requests.cpp
//
// The target's side of the conversation: receive one datagram from the log
// socket into the protocol buffer and hand it to the handler of its request
// (discovery, registration, unregistration, set level, get level
// descriptions).
//
// Threads: worker thread only, one datagram at a time. The protocol buffer
// is the worker's alone; the registry changes go through client_registry.cpp.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "target/client_address.h"
#include "target/log_target_remote.h"
#include "tarvin/host_api.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace {
unsigned int portOf(const sockaddr_in& address) { return ntohs(address.sin_port); }
}  // namespace

void CLogtargetRemote::onLogSocketReceive() {
  sockaddr_in sender{};
  socklen_t senderLength = sizeof sender;
  const ssize_t received =
      ::recvfrom(logSocket, protocolBuffer.data(), protocolBuffer.size(), /*flags=*/0,
                 reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (received < static_cast<ssize_t>(wire::kRequestHeaderSize)) return;

  const std::uint32_t descriptor = wire::loadBe32(protocolBuffer.data() + wire::kDescriptorOffset);
  char* payload = protocolBuffer.data() + wire::kRequestHeaderSize;
  const auto payloadLength = static_cast<unsigned int>(received - wire::kRequestHeaderSize);
  switch (descriptor) {
    case wire::kDiscoveryRequest:
      onDRQ(sender);
      return;
    case wire::kRegistrationRequest:
      onRRQ(sender);
      return;
    case wire::kUnregistrationRequest:
      onURQ(sender);
      return;
    case wire::kSetLevelRequest:
      onSLV(sender, payload, payloadLength);
      return;
    case wire::kGetLevelDescriptionsRequest:
      onGLVD(sender, payload, payloadLength);
      return;
    default:
      syslog(7, "ignoring function-descriptor %i (0x%x)", static_cast<int>(descriptor), descriptor);
  }
}

void CLogtargetRemote::onDRQ(const sockaddr_in& sender) { sendDiscoveryResponse(sender); }

void CLogtargetRemote::onRRQ(const sockaddr_in& sender) {
  const ClientIterator known = findClient(sender);
  if (isEntry(known)) {
    // A renewal that cannot restart the timer would leave a client that
    // never expires; drop it instead, and its next RRQ registers it anew.
    if (restartClientTimer(*known) == 0) {
      sendRegistrationConfirm(*known);
    } else {
      removeClient(known);
    }
    return;
  }

  const std::string text = addressToString(sender);
  syslog(7, "New client: %s:%u", text.c_str(), portOf(sender));
  if (addClient(sender) != 0) {
    syslog(7, "Unable to add client: %s:%u", text.c_str(), portOf(sender));
    return;
  }
  sendRegistrationConfirm(lastClient());

  std::vector<std::string> names;
  tarvin_get_component_names(names);
  for (const std::string& name : names)
    sendComponentInfo(sender, name, wire::kUnsolicitedRequestId);
}

void CLogtargetRemote::onURQ(const sockaddr_in& sender) {
  const ClientIterator known = findClient(sender);
  if (!isEntry(known)) return;
  syslog(7, "client %s:%u unregistered.", addressToString(sender).c_str(), portOf(sender));
  removeClient(known);
}

namespace {
// The component name of an SLV or GLVD, read after the datagram's last byte
// has been made a NUL, so the read cannot run past the datagram. A sender
// that left out the NUL loses the name's last character.
std::string takeName(char* payload, unsigned int length, std::size_t nameOffset) {
  payload[length - 1] = '\0';
  return std::string(payload + nameOffset);
}
}  // namespace

void CLogtargetRemote::onSLV(const sockaddr_in& sender, char* payload, unsigned int length) {
  constexpr std::size_t kHeader = wire::kRequestHeaderSize;
  if (length < wire::slv::kMinSize - kHeader) return;
  // Everything is copied out: the reply is built over the request.
  const std::string name = takeName(payload, length, wire::slv::kNameOffset - kHeader);
  const std::uint32_t requestId = wire::loadBe32(payload + wire::slv::kRequestIdOffset - kHeader);
  const std::uint32_t clientMask = wire::loadBe32(payload + wire::slv::kClientMaskOffset - kHeader);
  if (name.size() > wire::kMaxRequestNameLength) return;

  tarvin_set_component_level(name, clientMaskToMask(clientMask));
  // The reply reads the mask back, so the client sees what the host kept.
  sendComponentInfo(sender, name, requestId);
}

void CLogtargetRemote::onGLVD(const sockaddr_in& sender, char* payload, unsigned int length) {
  constexpr std::size_t kHeader = wire::kRequestHeaderSize;
  if (length < wire::glvd::kMinSize - kHeader) return;
  const std::string name = takeName(payload, length, wire::glvd::kNameOffset - kHeader);
  const std::uint32_t requestId = wire::loadBe32(payload + wire::glvd::kRequestIdOffset - kHeader);
  if (name.size() > wire::kMaxRequestNameLength) return;

  sendLevelDescriptions(sender, name, requestId);
}
