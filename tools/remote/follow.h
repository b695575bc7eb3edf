// tools/remote/follow.h
//
// Following targets: what tail and forward share. One Session talks to
// every target named on the command line and, with --discover or
// --broadcast, to every target that answers a discovery request, asked
// again at an interval so that targets started later are picked up.
//
// For each target the Follower registers, renews the registration well
// inside the 30-second lease, and registers again after the target
// restarted: a new instance shows as a new uuid (in the registration
// confirm, a record or a discovery answer) or first as a renewal nobody
// confirms. It checks each target's sequence numbers and hands records,
// gaps and every other datagram to a FollowHandler, the command's part.
//
// Threads: single-threaded; one poll() loop over the session's socket, the
// stop signal's wake-up pipe and at most one descriptor of the handler's (a
// collector).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remote/discovery_sweep.h"
#include "remote/pcap_file.h"
#include "remote/sequence_check.h"
#include "remote/session.h"

namespace remote {

struct FollowOptions {
  std::vector<std::string> targets;        // HOST[:PORT]; without a port, the first that answers
  std::vector<std::string> discoverHosts;  // follow every target on these hosts
  bool broadcast = false;                  // allow broadcast addresses; alone: 255.255.255.255
  std::chrono::milliseconds rediscoverEvery{5'000};
  std::chrono::milliseconds renewEvery{10'000};
  std::chrono::milliseconds duration{0};  // 0: no limit
  std::string pcapPath;                   // empty: no capture

  bool discovering() const { return broadcast || !discoverHosts.empty(); }
};

struct FollowedTarget {
  Endpoint endpoint;                // where requests go
  std::string host;                 // as named, or the address that answered discovery
  std::string label;                // "127.0.0.1:57008"
  bool named = false;               // from the command line: never dropped
  std::optional<codec::Uuid> uuid;  // of the instance we are registered with
  std::string applicationName;
  SequenceCheck sequence;

  // Registration state: while `renewing`, an RRQ is out until its confirm
  // or `deadline`; otherwise the next one is due at `deadline`.
  bool everConfirmed = false;
  bool renewing = false;
  bool silent = false;  // a renewal went unanswered; said once until it answers
  int attemptsLeft = 0;
  Clock::time_point deadline;  // of the RRQ that is out, or when the next is due
};

// The command's part of following. Every call comes from Follower::run();
// a target reference is good for the call only (a discovered target that
// stops answering is dropped), so handlers copy what they keep.
class FollowHandler {
 public:
  virtual ~FollowHandler() = default;
  virtual void onRecord(FollowedTarget& target, codec::LogRecord&& record,
                        SystemClock::time_point at) = 0;
  // Records that did not come within the reorder window (sequence_check.h),
  // so after later records. Also said on stderr by the Follower.
  virtual void onLost(FollowedTarget& /*target*/, const SequenceGap& /*gap*/) {}
  // A target is followed from now on (named ones before the first RRQ).
  virtual void onTargetAdded(FollowedTarget& /*target*/) {}
  // Level descriptions, component infos: whatever the Follower does not use.
  virtual void onOtherDatagram(FollowedTarget& /*target*/, Received&& /*received*/) {}

  // The handler's own timers and descriptor, checked after every wake-up.
  virtual Clock::time_point nextDeadline(Clock::time_point next) { return next; }
  virtual void onTimers(Clock::time_point /*now*/) {}
  virtual pollfd* extraWait() { return nullptr; }
  virtual void onExtraReady(short /*revents*/) {}
  virtual bool done() const { return false; }
};

class Follower {
 public:
  // `firstConfirmRequired`: a named target that never confirms its first
  // registration ends the command (tail) instead of being asked again and
  // again (forward, which waits for its targets).
  Follower(const RetryPolicy& retry, const FollowOptions& options, FollowHandler& handler,
           bool firstConfirmRequired);

  // Finds and registers the targets, then serves them until a stop signal,
  // --duration or handler.done(); unregisters on the way out. Throws
  // ToolError when a named target cannot be found or never confirms.
  void run();

  Session& session() { return talk; }
  std::size_t targetCount() const { return targets.size(); }
  const FollowedTarget& target(std::size_t i) const { return *targets[i]; }

 private:
  void serve();
  // URQ to every target that confirmed; `reportHoles`: and what is still
  // missing counts as lost.
  void unregister(bool reportHoles);
  FollowedTarget* route(const Received& received);
  FollowedTarget& add(Endpoint endpoint, std::string host, bool named);
  void handle(Received&& received);
  void onDiscoveryResponse(const Received& received, const codec::DiscoveryResponse& response);
  // Notices a new instance behind a followed port; true when it is one.
  bool checkInstance(FollowedTarget& target, const codec::Uuid& uuid);
  void onConfirm(FollowedTarget& target, const codec::RegistrationConfirm& confirm);
  // A datagram to `to` met a closed port: the end for a named target that
  // never confirmed (when that ends the command), a warning otherwise.
  void onRefused(const Endpoint& to);
  void sendRegistration(FollowedTarget& target, Clock::time_point now);
  void onTimers(Clock::time_point now);
  // Says which of the target's holes count as lost: those past the
  // reorder window, or `all`.
  void reportLost(FollowedTarget& target, bool all);
  void discover();
  Clock::time_point nextDeadline() const;

  const RetryPolicy retry;
  const FollowOptions& options;
  FollowHandler& handler;
  const bool firstConfirmRequired;
  Session talk;
  std::optional<PcapWriter> capture;
  // unique_ptr: a target stays put while add() hands it to the handler.
  std::vector<std::unique_ptr<FollowedTarget>> targets;
  DiscoverySweep sweep;  // every port of every --discover host
  Clock::time_point nextDiscovery;
  std::optional<Clock::time_point> endAt;
};

}  // namespace remote
