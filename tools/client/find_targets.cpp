// tools/client/find_targets.cpp
//
// Discovery rounds and the answers they collect.
//
// Threads: single-threaded tool.
#include "client/find_targets.h"

#include <arpa/inet.h>

#include <algorithm>

#include "base/stop_signal.h"

namespace remote {

TargetKey targetKey(const Endpoint& e) {
  return {ntohl(e.address.sin_addr.s_addr), ntohs(e.address.sin_port)};
}

FoundTargets findTargets(Session& session, const DiscoverySweep& sweep, int rounds,
                         std::chrono::milliseconds window) {
  FoundTargets result;
  const auto settled = [&](const Endpoint& probe) {
    return result.found.contains(targetKey(probe)) || result.refused.contains(targetKey(probe));
  };
  const auto allSettled = [&] {
    return std::all_of(sweep.endpoints().begin(), sweep.endpoints().end(), settled);
  };
  const auto roundLength = window / rounds;
  for (int round = 0; round < rounds && !stopRequested() && !allSettled(); ++round) {
    sweep.send(session, settled);
    const auto deadline = Clock::now() + roundLength;
    Received received;
    for (;;) {
      const auto wait = session.receive(deadline, received);
      if (wait == Session::Wait::kRefused) {
        result.refused.insert(targetKey(received.from));
        if (allSettled()) break;  // nothing more will come
        continue;
      }
      if (wait != Session::Wait::kDatagram) break;
      if (auto* response = std::get_if<codec::DiscoveryResponse>(&received.datagram)) {
        result.found.emplace(targetKey(received.from),
                             FoundTargets::Found{received.from, std::move(*response)});
      }
    }
  }
  return result;
}

}  // namespace remote
