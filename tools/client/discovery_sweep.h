// tools/client/discovery_sweep.h
//
// DiscoverySweep: a discovery request to every port of the target range on
// a set of hosts, the way discover, findTarget() and the Follower look for
// targets whose port they do not know. A target answers from its own
// port, so who answered is the answer's business, not the sweep's.
//
// Threads: single-threaded tool.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/session.h"
#include "codec/client_codec.h"
#include "model/endpoint.h"

namespace remote {

class DiscoverySweep {
 public:
  DiscoverySweep();

  // Adds every port of the range on `host` (its own port is ignored).
  void addHost(const Endpoint& host);
  // Adds one port: HOST:PORT as a user named it.
  void addPort(const Endpoint& target) { probes.push_back(target); }
  bool empty() const { return probes.empty(); }
  std::size_t size() const { return probes.size(); }
  const std::vector<Endpoint>& endpoints() const { return probes; }

  // One DRQ to every port added, but to none that `skip` says has answered
  // already.
  void send(Session& session, const std::function<bool(const Endpoint&)>& skip = {}) const;

 private:
  std::vector<Endpoint> probes;
  codec::Bytes drq;
};

// "57008-57017", for messages.
std::string targetPortRange();

}  // namespace remote
