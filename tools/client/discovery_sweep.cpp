// tools/client/discovery_sweep.cpp
//
// The ports of the range, and one DRQ to each.
//
// Threads: single-threaded tool.
#include "client/discovery_sweep.h"

#include <arpa/inet.h>

#include "wire/wire_format.h"

namespace remote {

DiscoverySweep::DiscoverySweep() : drq(codec::buildDiscoveryRequest()) {}

void DiscoverySweep::addHost(const Endpoint& host) {
  for (std::uint16_t i = 0; i < wire::kPortCount; ++i) {
    Endpoint port = host;
    port.address.sin_port = htons(static_cast<std::uint16_t>(wire::kFirstPort + i));
    probes.push_back(port);
  }
}

void DiscoverySweep::send(Session& session,
                          const std::function<bool(const Endpoint&)>& skip) const {
  for (const Endpoint& probe : probes) {
    if (!skip || !skip(probe)) session.send(probe, drq);
  }
}

std::string targetPortRange() {
  return std::to_string(wire::kFirstPort) + "-" +
         std::to_string(wire::kFirstPort + wire::kPortCount - 1);
}

}  // namespace remote
