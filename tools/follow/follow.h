// tools/follow/follow.h
//
// Following targets: what tail and forward share. One Session talks to
// every target named on the command line and, with --discover or
// --broadcast, to every target that answers a discovery request, asked
// again at an interval so that targets started later are picked up.
//
// Each target gets a socket of its own (Session::openChannel()), so one
// that floods fills only its own buffer. For each target the Follower registers, renews the
// registration well inside the 30-second lease, and registers again after the target restarted. A
// new instance knows nothing of us and sends us nothing, so between renewals each target is asked
// for its uuid every second (a discovery request, which registers nobody): a new uuid in the answer
// (or in a confirm or a record) registers us at once, and a port that answers "unreachable" is
// asked to register us every 250 ms until something listens again. The records a new instance
// logged before that are named as missed across the restart, not as lost on the way. It checks each
// target's sequence numbers and hands records, gaps and every other datagram to a FollowHandler,
// the command's part.
//
// A busy host sends 100,000 records a second and more, so the loop works
// in batches: one poll() and one recvmmsg() take up to 64 datagrams, the
// handler gets each record in place (no copy, no allocation) and then the
// end of the batch, where it flushes its output; stop requests and timers
// are looked at once per batch. Losses (sequence gaps, datagrams the
// kernel dropped) are said at most once a second and summed up when the
// follow ends (loss_report.h).
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

#include "capture/pcap_file.h"
#include "client/discovery_sweep.h"
#include "client/session.h"
#include "follow/loss_report.h"
#include "model/sequence_check.h"

namespace remote {

struct FollowOptions {
  std::vector<std::string> targets;        // HOST[:PORT]; without a port, the first that answers
  std::vector<std::string> discoverHosts;  // follow every target on these hosts
  bool broadcast = false;                  // allow broadcast addresses; alone: 255.255.255.255
  std::chrono::milliseconds rediscoverEvery{5'000};
  std::chrono::milliseconds renewEvery{10'000};
  std::chrono::milliseconds duration{0};  // 0: no limit
  std::string pcapPath;                   // empty: no capture
  // Room for the records of a busy host while the machine gives us no
  // time: about 40,000, a third of a second at 120,000 records/s. The
  // kernel takes the memory only while we fall behind.
  std::size_t receiveBuffer = 32u << 20;
  bool receiveBufferGiven = false;  // by the user: then say when it is capped
  // After a receive that did not fill a batch, let the socket gather this
  // long before the next: a host's steady stream then wakes us once a
  // batch, not once every few records, each wake-up a context switch.
  // For the commands that store, whose batches wait 100 ms anyway; 0 for
  // those that show each record at once.
  std::chrono::microseconds gather{0};

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
  // Why a named target has not confirmed yet, once that is known: "nothing
  // listens on its port" or "did not answer 4 registration requests in 2 s".
  std::string trouble;
  int attemptsLeft = 0;
  Clock::time_point deadline;                 // of the RRQ that is out, or when the next is due
  Clock::time_point nextProbe;                // when its uuid is asked for next
  Session::Channel channel = Session::kMain;  // its own socket: registrations and records
  // Records seen, and as many when the renewal that is out was sent: a
  // target whose records keep coming holds our registration, however many
  // of its confirms a flood of its own drowned.
  std::uint64_t records = 0;
  std::uint64_t recordsAtRenewal = 0;
  // Its instance restarted and no record of the new one came yet: a hole
  // from sequence 0 holds what it logged before we registered again.
  bool restartHole = false;
  // Records that came before the first confirm, which names the
  // application: a host thread may log to us between the target adding us
  // and its worker sending the confirm. Handed on, in order, once it comes.
  std::vector<std::pair<codec::LogRecord, SystemClock::time_point>> beforeConfirm;
};

// The command's part of following. Every call comes from Follower::run();
// a target reference is good for the call only (a discovered target that
// stops answering is dropped), so handlers copy what they keep.
class FollowHandler {
 public:
  virtual ~FollowHandler() = default;
  // Each log record, in the order of arrival. Hot path: the record's
  // strings point into the receive batch and are good for this call only.
  // The default makes an owning copy for onRecord(), for a handler to whom
  // one allocation per record does not matter.
  virtual void onRecordView(FollowedTarget& target, const codec::LogRecordView& record,
                            SystemClock::time_point at) {
    onRecord(target, record.toRecord(), at);
  }
  virtual void onRecord(FollowedTarget& /*target*/, codec::LogRecord&& /*record*/,
                        SystemClock::time_point /*at*/) {}
  // After the datagrams of one receive (one to 64): flush buffered output
  // or store the batch's records here, so that a record never waits for
  // the next one to show.
  virtual void onBatchEnd() {}
  // Records that did not come within the reorder window (sequence_check.h):
  // said before the record whose arrival showed it, or from a timer, or at
  // the end. Also said on stderr by the Follower, summed up once a second.
  virtual void onLost(FollowedTarget& /*target*/, const SequenceGap& /*gap*/) {}
  // A target is followed from now on (named ones before the first RRQ).
  virtual void onTargetAdded(FollowedTarget& /*target*/) {}
  // A target confirmed a registration: its application name is known.
  virtual void onConfirmed(FollowedTarget& /*target*/) {}
  // A discovered target that stopped answering is followed no longer; the
  // reference dies after this call.
  virtual void onTargetDropped(FollowedTarget& /*target*/) {}
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
  // Every command follows the named targets that answer, names each one
  // that does not and asks it again. `firstConfirmRequired`: when none of
  // them answers its first registration (and nothing is discovered), the
  // command ends at once instead of waiting for one to start.
  Follower(const RetryPolicy& retry, const FollowOptions& options, FollowHandler& handler,
           bool firstConfirmRequired);

  // Finds and registers the targets, then serves them until a stop signal,
  // --duration or handler.done(); unregisters on the way out, hands on what
  // the socket still holds, and says what was received and lost. Throws
  // ToolError when a named target cannot be found or never confirms.
  void run();

  Session& session() { return talk; }
  std::size_t targetCount() const { return targets.size(); }
  // What was received and lost so far; anyLost() is a reason to exit 1.
  const LossReport& losses() const { return loss; }
  // Whether every named target confirmed a registration at some time; run()
  // names each one that never did. False is a reason to exit 1.
  bool allNamedReached() const;

 private:
  void serve();
  // URQ to every target that confirmed.
  void unregister();
  // Reads what the socket still holds once the follow ends.
  void drain();
  FollowedTarget* route(const sockaddr_in& from, const codec::Uuid& uuid, bool discoveryResponse);
  FollowedTarget& add(Endpoint endpoint, std::string host, bool named);
  // Hot path: one datagram of a batch. Records go to the handler in place.
  // Every datagram of the batch just read, then the handler's end of batch.
  void dispatchBatch();
  void dispatch(codec::ByteSpan bytes, const sockaddr_in& from, SystemClock::time_point at);
  void onRecord(FollowedTarget& target, const codec::LogRecordView& record,
                SystemClock::time_point at);
  void handle(Received&& received);
  void onDiscoveryResponse(const Received& received, const codec::DiscoveryResponse& response);
  // Notices a new instance behind a followed port; true when it is one.
  bool checkInstance(FollowedTarget& target, const codec::Uuid& uuid);
  // Hands on the records held until the target's first confirm.
  void releaseHeld(FollowedTarget& target);
  // Records held per target until its first confirm: a confirm that does
  // not come within this many holds up nothing more.
  static constexpr std::size_t kHeldBeforeConfirm = 4096;
  void onConfirm(FollowedTarget& target, const codec::RegistrationConfirm& confirm);
  // A datagram to `to` met a closed port: the end for a named target that
  // never confirmed (when that ends the command), a warning otherwise.
  void onRefused(const Endpoint& to);
  // Ends the command (firstConfirmRequired) when no named target has
  // confirmed and each has a trouble, naming them all.
  void endIfNoneAnswers() const;
  void sendRegistration(FollowedTarget& target, Clock::time_point now);
  // Asks a target that confirmed for its uuid, when that is due.
  void probe(FollowedTarget& target, Clock::time_point now);
  void onTimers(Clock::time_point now);
  // Says which of the target's holes count as lost: those past the
  // reorder window at `now`, or `all`.
  void reportLost(FollowedTarget& target, bool all, SystemClock::time_point now);
  void discover();
  Clock::time_point nextDeadline() const;

  const RetryPolicy retry;
  const FollowOptions& options;
  FollowHandler& handler;
  const bool firstConfirmRequired;
  Session talk;
  std::optional<PcapWriter> capture;
  ReceiveBatch batch;
  LossReport loss;
  std::size_t receiveBuffer = 0;  // as granted
  // unique_ptr: a target stays put while add() hands it to the handler.
  std::vector<std::unique_ptr<FollowedTarget>> targets;
  std::vector<std::string> notFound;  // hosts named without a port where no target answered
  DiscoverySweep sweep;               // every port of every --discover host
  Clock::time_point nextDiscovery;
  std::optional<Clock::time_point> endAt;
};

}  // namespace remote
