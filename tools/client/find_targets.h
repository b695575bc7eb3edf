// tools/client/find_targets.h
//
// Every target that answers a discovery sweep (discovery_sweep.h) within a
// window, as discover lists them and set-level --discover changes them. The
// window is split into rounds; each round asks again every port that has
// neither answered nor been refused as closed, so a lost datagram costs a
// round, not the target, and the window ends early once every port asked
// has answered or was refused. Broadcast answers come from the targets'
// own addresses, so broadcast probes are asked every round.
//
// Threads: single-threaded tool.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

#include "client/discovery_sweep.h"
#include "client/session.h"
#include "codec/client_codec.h"
#include "model/endpoint.h"

namespace remote {

// Address in host order, then port: the order targets are listed in.
using TargetKey = std::pair<std::uint32_t, std::uint16_t>;
TargetKey targetKey(const Endpoint& endpoint);

struct FoundTargets {
  struct Found {
    Endpoint from;
    codec::DiscoveryResponse response;
  };
  std::map<TargetKey, Found> found;
  std::set<TargetKey> refused;  // probes that met a closed port
};

// Sends `sweep` in `rounds` rounds over `window`; stops early on a stop
// request.
FoundTargets findTargets(Session& session, const DiscoverySweep& sweep, int rounds,
                         std::chrono::milliseconds window);

}  // namespace remote
