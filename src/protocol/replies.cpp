// src/protocol/replies.cpp
//
// The replies of the target: discovery response, registration confirm,
// component info and level descriptions, each built field by field in the
// protocol buffer and sent with one sendto().
//
// A reply whose host strings would not fit in one 2048-byte datagram is never
// cut silently and never overruns the buffer. Discovery responses,
// registration confirms and component infos are then not sent at all (a
// cut name would name another application or component); level descriptions
// keep, in the host's order, every description that still fits, with the
// count saying how many follow. Each such case is written to syslog at
// priority 3, once per reply, and the target goes on serving.
//
// Threads: worker thread only.
#include <sys/socket.h>
#include <syslog.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "target/client_address.h"
#include "target/log_target_remote.h"
#include "tarvin/host_api.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

namespace {
// Copies text and its NUL to `at`; returns the position after the NUL.
char* putString(char* at, const std::string& text) {
  std::memcpy(at, text.data(), text.size());
  at[text.size()] = '\0';
  return at + text.size() + 1;
}
}  // namespace

void CLogtargetRemote::writeHeader(char* buffer, std::uint32_t descriptor) const {
  wire::storeBe32(buffer + wire::kDescriptorOffset, descriptor);
  std::memcpy(buffer + wire::kUuidOffset, uuid.data(), wire::kUuidSize);
}

void CLogtargetRemote::sendProtocolBuffer(std::size_t length, const sockaddr_in& destination) {
  // Lost replies are made good by the client repeating its request.
  ::sendto(logSocket, protocolBuffer.data(), length, /*flags=*/0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}

void CLogtargetRemote::sendApplicationName(std::uint32_t descriptor, const char* reply,
                                           const sockaddr_in& destination) {
  const std::string& name = tarvin_get_application_name();
  if (name.size() > wire::kMaxApplicationNameLength) {
    syslog(3,
           "Not sending %s to %s:%u - the application name of %zu characters does not fit in one "
           "datagram",
           reply, addressToString(destination).c_str(), ntohs(destination.sin_port), name.size());
    return;
  }
  char* out = protocolBuffer.data();
  writeHeader(out, descriptor);
  const char* end = putString(out + wire::appinfo::kNameOffset, name);
  sendProtocolBuffer(static_cast<std::size_t>(end - out), destination);
}

void CLogtargetRemote::sendDiscoveryResponse(const sockaddr_in& destination) {
  sendApplicationName(wire::kDiscoveryResponse, "discovery response", destination);
}

void CLogtargetRemote::sendRegistrationConfirm(const CLogClient& client) {
  sendApplicationName(wire::kRegistrationConfirm, "registration confirm", client.address);
}

void CLogtargetRemote::sendComponentInfo(const sockaddr_in& destination, const std::string& name,
                                         std::uint32_t requestId) {
  const unsigned int clientMask = masktoClientMask(tarvin_get_component_level(name));
  if (name.size() > wire::kMaxComponentNameLength) {
    syslog(3,
           "Not sending component info to %s:%u - the component name of %zu characters does not "
           "fit in one datagram",
           addressToString(destination).c_str(), ntohs(destination.sin_port), name.size());
    return;
  }
  namespace layout = wire::component_info;
  char* out = protocolBuffer.data();
  writeHeader(out, wire::kComponentInfo);
  wire::storeBe32(out + layout::kRequestIdOffset, requestId);
  wire::storeBe32(out + layout::kClientMaskOffset, clientMask);
  const char* end = putString(out + layout::kNameOffset, name);
  sendProtocolBuffer(static_cast<std::size_t>(end - out), destination);
}

void CLogtargetRemote::sendLevelDescriptions(const sockaddr_in& destination,
                                             const std::string& name, std::uint32_t requestId) {
  const unsigned int clientMask = masktoClientMask(tarvin_get_component_level(name));
  std::vector<std::pair<unsigned int, std::string>> descriptions;
  tarvin_get_level_descriptions(name, descriptions);

  std::size_t length = wire::levelDescriptionsFixedSize(name.size());
  if (length > wire::kMaxDatagramSize) {
    syslog(3,
           "Not sending level descriptions to %s:%u - the component name of %zu characters does "
           "not fit in one datagram",
           addressToString(destination).c_str(), ntohs(destination.sin_port), name.size());
    return;
  }
  // Keep each description that still fits, in order; the count says how
  // many were kept, so the datagram stays well-formed.
  std::vector<bool> kept(descriptions.size(), false);
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < descriptions.size(); ++i) {
    const std::size_t cost = wire::kFieldSize + descriptions[i].second.size() + 1;
    if (length + cost > wire::kMaxDatagramSize) continue;
    length += cost;
    kept[i] = true;
    ++count;
  }
  if (count != descriptions.size()) {
    syslog(3,
           "Cutting level descriptions of component %s for %s:%u to %u of %zu - the others do not "
           "fit in one datagram",
           name.c_str(), addressToString(destination).c_str(), ntohs(destination.sin_port), count,
           descriptions.size());
  }

  namespace layout = wire::level_descriptions;
  char* out = protocolBuffer.data();
  writeHeader(out, wire::kLevelDescriptions);
  wire::storeBe32(out + layout::kRequestIdOffset, requestId);
  wire::storeBe32(out + layout::kClientMaskOffset, clientMask);
  char* at = putString(out + layout::kNameOffset, name);
  wire::storeBe32(at, count);
  at += wire::kFieldSize;
  for (std::size_t i = 0; i < descriptions.size(); ++i) {
    if (!kept[i]) continue;
    wire::storeBe32(at, numericLevelToClientLevel(descriptions[i].first));
    at += wire::kFieldSize;
  }
  for (std::size_t i = 0; i < descriptions.size(); ++i) {
    if (kept[i]) at = putString(at, descriptions[i].second);
  }
  sendProtocolBuffer(static_cast<std::size_t>(at - out), destination);
}
