// tools/client/find_target.cpp
//
// Finding a target by asking every port of the range on one host.
//
// Threads: single-threaded tool.
#include "client/find_target.h"

#include <arpa/inet.h>

#include <algorithm>
#include <optional>
#include <set>
#include <utility>

#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "client/discovery_sweep.h"

namespace remote {

Endpoint findTarget(Session& session, const std::string& targetText) {
  const TargetAddress given = parseTargetAddress(targetText);
  if (given.port) return resolve(given.host, *given.port);

  const Endpoint host = resolve(given.host, 0);
  DiscoverySweep sweep;
  sweep.addHost(host);
  for (int attempt = 0; attempt <= session.policy().retries; ++attempt) {
    sweep.send(session);
    // The first answer ends the wait; answers already queued beside it are
    // looked at too, so with several targets the lowest port wins.
    std::optional<std::pair<Endpoint, std::string>> best;
    std::set<in_port_t> refused;
    auto deadline = Clock::now() + session.policy().timeout;
    Received received;
    for (;;) {
      const auto wait = session.receive(deadline, received);
      if (wait == Session::Wait::kRefused) {
        refused.insert(received.from.address.sin_port);
        if (refused.size() == sweep.size()) {
          throw ToolError{ErrorKind::kNoAnswer,
                          "nothing listens on " + given.host + " ports " + targetPortRange()};
        }
        continue;
      }
      if (wait != Session::Wait::kDatagram) break;
      const auto* response = std::get_if<codec::DiscoveryResponse>(&received.datagram);
      if (response == nullptr) continue;
      // Keep talking to the address the user gave, on the port that answered.
      Endpoint answered = host;
      answered.address.sin_port = received.from.address.sin_port;
      if (!best || ntohs(answered.address.sin_port) < ntohs(best->first.address.sin_port)) {
        best.emplace(answered, response->applicationName);
      }
      deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
    }
    if (stopRequested())
      throw ToolError{ErrorKind::kInterrupted, "interrupted while looking for a target"};
    if (best) {
      note("using target " + best->first.text() + " (" + best->second + ")");
      return best->first;
    }
  }
  throw ToolError{ErrorKind::kNoAnswer,
                  "no target answered on " + given.host + " ports " + targetPortRange()};
}

}  // namespace remote
