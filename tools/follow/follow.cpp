// tools/follow/follow.cpp
//
// The Follower: registration, renewal and re-registration of every
// followed target, discovery rounds, routing each datagram to its target,
// and the sequence check. What the records become is the handler's part.
//
// Routing: replies of a target leave from whichever local address the
// route picks (127.0.0.2 is answered from 127.0.0.1), so a datagram
// belongs to the target with its address and port, else to the one whose
// uuid it carries on that port, else to the only named target on that
// port. Discovery answers come from the targets' own addresses and are
// matched by address or uuid alone, so one target on the same port of
// another host is never taken for a restart.
//
// Threads: single-threaded; see follow.h.
#include "follow/follow.h"

#include <arpa/inet.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "client/find_target.h"

namespace remote {
namespace {

// After a renewal went unanswered through all its retries: how long to
// wait before asking again. The lease is 30 s, so keep trying often.
constexpr std::chrono::seconds kRenewalRetryPause{1};

// How often a followed target is asked for its uuid between renewals, and
// how often a named target whose port answered "unreachable" is asked to
// register us: a restarted target's records reach us within about that.
constexpr std::chrono::seconds kProbeEvery{1};
constexpr std::chrono::milliseconds kRegisterAgainEvery{250};

// The longest a follow goes on reading its socket after its end: enough
// for a full 32 MiB buffer through a busy store's queue.
constexpr std::chrono::seconds kDrainAtMost{2};

const codec::Uuid& uuidOf(const codec::Datagram& datagram) {
  return std::visit([](const auto& d) -> const codec::Uuid& { return d.uuid; }, datagram);
}

std::string shortUuid(const codec::Uuid& uuid) { return codec::uuidToHex(uuid).substr(0, 8); }

}  // namespace

Follower::Follower(const RetryPolicy& retry, const FollowOptions& options, FollowHandler& handler,
                   bool firstConfirmRequired)
    : retry(retry),
      options(options),
      handler(handler),
      firstConfirmRequired(firstConfirmRequired),
      talk(retry, options.broadcast) {}

void Follower::run() {
  receiveBuffer = talk.sizeReceiveBuffer(options.receiveBuffer);
  if (options.receiveBufferGiven && receiveBuffer < options.receiveBuffer) {
    note("warning: receive buffer " + sizeText(receiveBuffer) + ", not the " +
         sizeText(options.receiveBuffer) +
         " asked (net.core.rmem_max caps it; as root the tool may go beyond)");
  }
  if (!options.pcapPath.empty()) {
    capture.emplace(options.pcapPath);
    talk.captureTo([this](const RawDatagram& raw) { capture->write(raw); });
  }
  for (const std::string& given : options.targets) {
    Endpoint endpoint;
    try {
      endpoint = findTarget(talk, given);
    } catch (const ToolError& error) {
      // A host without a port where no target answers: named, and the
      // others followed all the same, unless there are none.
      if (isBadInput(error.kind) || stopRequested() || options.targets.size() == 1) throw;
      note("error: " + error.message);
      notFound.push_back(given);
      continue;
    }
    const bool known = std::any_of(targets.begin(), targets.end(),
                                   [&](const auto& t) { return t->endpoint == endpoint; });
    if (!known) add(endpoint, parseTargetAddress(given).host, /*named=*/true);
  }
  if (targets.empty() && !notFound.empty() && !options.discovering()) {
    throw ToolError{ErrorKind::kNoAnswer, "no target answered on any host named"};
  }
  std::vector<std::string> hosts = options.discoverHosts;
  if (options.broadcast && hosts.empty()) hosts.push_back("255.255.255.255");
  for (const std::string& host : hosts) sweep.addHost(resolve(host, 0));
  if (options.duration.count() > 0) endAt = Clock::now() + options.duration;
  if (!sweep.empty()) discover();

  try {
    serve();
  } catch (...) {
    // A command that fails mid-way (a filter's usage error, a target that
    // never confirmed) still frees its slots on the other targets.
    unregister();
    throw;
  }
  unregister();
  drain();
  for (const auto& target : targets) releaseHeld(*target);  // a confirm that never came
  for (const auto& target : targets) {
    reportLost(*target, /*all=*/true, SystemClock::now());  // not come by now: lost
  }
  loss.onKernelDrops(talk.readKernelDrops(), Clock::now());
  loss.finish(receiveBuffer);
  for (const auto& target : targets) {
    if (!target->named || target->everConfirmed) continue;
    note("error: never registered with " + target->label + ": " +
         (target->trouble.empty() ? "no confirm before the end" : target->trouble));
  }
}

// A named target's trouble when its port is closed.
constexpr const char* kRefused = "nothing listens on its port";

bool Follower::allNamedReached() const {
  return notFound.empty() && std::all_of(targets.begin(), targets.end(), [](const auto& t) {
           return !t->named || t->everConfirmed;
         });
}

void Follower::endIfNoneAnswers() const {
  if (!firstConfirmRequired || !sweep.empty()) return;
  std::vector<std::string> why;
  for (const auto& target : targets) {
    if (!target->named) continue;
    if (target->everConfirmed || target->trouble.empty()) return;
    why.push_back(target->trouble == kRefused ? "nothing listens on " + target->label
                                              : target->label + " " + target->trouble);
  }
  if (why.empty()) return;
  if (why.size() == 1) throw ToolError{ErrorKind::kNoAnswer, why.front()};
  std::string all;
  for (const std::string& one : why) all += (all.empty() ? "" : "; ") + one;
  throw ToolError{ErrorKind::kNoAnswer, "no target answered: " + all};
}

void Follower::serve() {
  while (!handler.done()) {
    pollfd* extra = handler.extraWait();
    const auto wait = talk.receiveBatch(nextDeadline(), batch, extra);
    if (wait == Session::Wait::kStopped) break;
    if (wait == Session::Wait::kDatagram) {
      dispatchBatch();
      if (options.gather.count() > 0 && batch.size() < ReceiveBatch::kCapacity) {
        std::this_thread::sleep_for(options.gather);
      }
    }
    if (wait == Session::Wait::kRefused) onRefused(talk.refused());
    // Both in one wake-up, so that neither a busy target nor a busy
    // collector keeps the other waiting.
    if (extra != nullptr && extra->revents != 0) {
      handler.onExtraReady(extra->revents);
    }
    const auto now = Clock::now();
    loss.onKernelDrops(talk.kernelDrops(), now);
    if (endAt && now >= *endAt) break;
    onTimers(now);
    handler.onTimers(now);
    loss.onTimers(now);
  }
}

void Follower::unregister() {
  for (const auto& target : targets) {
    if (target->everConfirmed) {
      talk.send(target->channel, target->endpoint, codec::buildUnregistrationRequest());
    }
  }
}

// What the targets sent while we were registered is ours to show, also
// what still waits in the socket's buffer when the follow ends: a recorder
// whose store fell behind can leave tens of thousands of records there,
// which closing the socket would throw away uncounted. Read after the
// unregistrations went out, so the targets soon stop sending; the time
// limit covers one that never hears of it.
void Follower::drain() {
  const auto end = Clock::now() + kDrainAtMost;
  while (!handler.done() && Clock::now() < end && talk.readQueued(batch)) dispatchBatch();
}

void Follower::dispatchBatch() {
  for (std::size_t i = 0; i < batch.size(); ++i)
    dispatch(batch.bytes(i), batch.from(i), batch.at());
  handler.onBatchEnd();
}

void Follower::reportLost(FollowedTarget& target, bool all, SystemClock::time_point now) {
  if (!target.sequence.holesOpen()) return;  // the hot path's usual case
  std::vector<SequenceGap> lost;
  if (all) {
    target.sequence.takeAll(lost);
  } else {
    target.sequence.takeDue(now, lost);
  }
  for (const SequenceGap& gap : lost) {
    if (target.restartHole && gap.first == 0) {
      target.restartHole = false;
      loss.onRestartGap(target.label, gap);
    } else {
      loss.onGap(target.label, gap, Clock::now());
    }
    handler.onLost(target, gap);
  }
}

FollowedTarget& Follower::add(Endpoint endpoint, std::string host, bool named) {
  auto target = std::make_unique<FollowedTarget>();
  target->endpoint = endpoint;
  target->host = std::move(host);
  target->label = endpoint.text();
  target->named = named;
  target->channel = talk.openChannel(endpoint);
  targets.push_back(std::move(target));
  FollowedTarget& added = *targets.back();
  handler.onTargetAdded(added);
  sendRegistration(added, Clock::now());
  return added;
}

FollowedTarget* Follower::route(const sockaddr_in& from, const codec::Uuid& uuid,
                                bool discoveryResponse) {
  const in_port_t port = from.sin_port;
  FollowedTarget* byUuid = nullptr;
  FollowedTarget* namedOnPort = nullptr;
  int namedCount = 0;
  for (const auto& target : targets) {
    const sockaddr_in& address = target->endpoint.address;
    if (address.sin_port != port) continue;
    if (address.sin_addr.s_addr == from.sin_addr.s_addr) return target.get();
    if (target->uuid == uuid) byUuid = target.get();
    if (target->named) {
      namedOnPort = target.get();
      ++namedCount;
    }
  }
  if (byUuid != nullptr) return byUuid;
  if (discoveryResponse) return nullptr;
  return namedCount == 1 ? namedOnPort : nullptr;
}

void Follower::dispatch(codec::ByteSpan bytes, const sockaddr_in& from,
                        SystemClock::time_point at) {
  codec::LogRecordView record;
  if (codec::readLogRecord(bytes, record)) {
    FollowedTarget* target = route(from, record.uuid, /*discoveryResponse=*/false);
    if (target != nullptr) onRecord(*target, record, at);
    return;
  }
  // Everything else is rare: parse it whole (and report it if malformed).
  Received received;
  received.from.address = from;
  received.at = at;
  auto parsed = talk.parse(bytes, received.from);
  if (!parsed) return;
  received.datagram = std::move(*parsed);
  handle(std::move(received));
}

void Follower::onRecord(FollowedTarget& target, const codec::LogRecordView& record,
                        SystemClock::time_point at) {
  if (checkInstance(target, record.uuid) && !target.renewing) {
    sendRegistration(target, Clock::now());  // we hold no lease with the new instance
  }
  // Holes whose window has run out are said before the record that shows
  // it, as an import of the capture says them.
  reportLost(target, /*all=*/false, at);
  const auto verdict = target.sequence.check(record.sequence, at);
  // The new instance's first record: with number 0 nothing came before it,
  // past 0 the hole it opened is what was logged before we registered.
  if (target.restartHole && !target.sequence.holesOpen()) target.restartHole = false;
  if (verdict == SequenceCheck::Verdict::kLate) {
    loss.onLate(Clock::now());
  } else if (verdict == SequenceCheck::Verdict::kRepeat) {
    note(target.label + ": record " + std::to_string(record.sequence) + " arrived again");
  }
  loss.countRecord();
  ++target.records;
  if (!target.everConfirmed) {
    if (target.beforeConfirm.size() < kHeldBeforeConfirm) {
      target.beforeConfirm.emplace_back(record.toRecord(), at);
      return;
    }
    releaseHeld(target);  // no confirm after this many: on without a name, in order
  }
  handler.onRecordView(target, record, at);
}

void Follower::releaseHeld(FollowedTarget& target) {
  std::vector<std::pair<codec::LogRecord, SystemClock::time_point>> held;
  held.swap(target.beforeConfirm);
  for (const auto& [record, at] : held)
    handler.onRecordView(target, codec::LogRecordView(record), at);
}

void Follower::handle(Received&& received) {
  if (const auto* response = std::get_if<codec::DiscoveryResponse>(&received.datagram)) {
    onDiscoveryResponse(received, *response);
    return;
  }
  FollowedTarget* target =
      route(received.from.address, uuidOf(received.datagram), /*discoveryResponse=*/false);
  if (target == nullptr) return;  // a target we do not follow (or no longer)
  if (const auto* confirm = std::get_if<codec::RegistrationConfirm>(&received.datagram)) {
    onConfirm(*target, *confirm);
    return;
  }
  if (checkInstance(*target, uuidOf(received.datagram)) && !target->renewing) {
    sendRegistration(*target, Clock::now());  // we hold no lease with the new instance
  }
  handler.onOtherDatagram(*target, std::move(received));
}

void Follower::onDiscoveryResponse(const Received& received,
                                   const codec::DiscoveryResponse& response) {
  FollowedTarget* target = route(received.from.address, response.uuid, /*discoveryResponse=*/true);
  if (target == nullptr) {
    if (sweep.empty()) return;  // a late answer to findTarget()'s search
    for (const auto& t : targets) {
      if (t->uuid == response.uuid) return;  // followed already, by the address it was named with
    }
    const std::string address = received.from.text();
    add(received.from, address.substr(0, address.rfind(':')), /*named=*/false);
    return;
  }
  // A restart between renewals shows here first (the answer to our probe
  // or to a discovery round): register at once rather than lose records
  // until the next renewal.
  if (checkInstance(*target, response.uuid) && !target->renewing)
    sendRegistration(*target, Clock::now());
}

bool Follower::checkInstance(FollowedTarget& target, const codec::Uuid& uuid) {
  if (!target.uuid || *target.uuid == uuid) return false;
  note(target.label + " restarted (uuid " + shortUuid(*target.uuid) + "... is now " +
       shortUuid(uuid) + "...); registering again");
  // The old instance's holes will never be filled: said as its own, under
  // its uuid. The new one numbered its records from 0; those built before
  // we registered again open a hole from 0 that is said as missed across
  // the restart.
  reportLost(target, /*all=*/true, SystemClock::now());
  target.uuid = uuid;
  target.sequence.restart(0);
  target.restartHole = true;
  return true;
}

void Follower::onConfirm(FollowedTarget& target, const codec::RegistrationConfirm& confirm) {
  if (!target.everConfirmed) {
    note("following " + target.label + " (" + confirm.applicationName + ")");
  } else if (target.silent) {
    note(target.label + " answers again");
  }
  if (!target.uuid) target.uuid = confirm.uuid;
  checkInstance(target, confirm.uuid);
  target.applicationName = confirm.applicationName;
  target.everConfirmed = true;
  releaseHeld(target);
  target.silent = false;
  target.renewing = false;
  target.deadline = Clock::now() + options.renewEvery;
  target.nextProbe = Clock::now() + kProbeEvery;
  handler.onConfirmed(target);
}

void Follower::onRefused(const Endpoint& to) {
  for (const auto& target : targets) {
    // A discovered target that closed is dropped by the renewal timers.
    if (!target->named || !(target->endpoint == to)) continue;
    if (!target->everConfirmed) {
      target->trouble = kRefused;
      endIfNoneAnswers();
    }
    if (!target->silent) note("warning: nothing listens on " + target->label + "; still trying");
    target->silent = true;
    // Its instance is gone; a new one on the same port knows nothing of
    // us: ask it to register us as soon as it is there.
    target->renewing = false;
    target->deadline = std::min(target->deadline, Clock::now() + kRegisterAgainEvery);
  }
}

void Follower::sendRegistration(FollowedTarget& target, Clock::time_point now) {
  target.renewing = true;
  target.attemptsLeft = retry.retries;
  target.deadline = now + retry.timeout;
  target.recordsAtRenewal = target.records;
  talk.send(target.channel, target.endpoint, codec::buildRegistrationRequest());
}

void Follower::probe(FollowedTarget& target, Clock::time_point now) {
  if (!target.everConfirmed || target.renewing || target.silent || now < target.nextProbe) return;
  target.nextProbe = now + kProbeEvery;
  talk.send(target.endpoint, codec::buildDiscoveryRequest());
}

void Follower::onTimers(Clock::time_point now) {
  if (!sweep.empty() && now >= nextDiscovery) discover();
  for (std::size_t i = 0; i < targets.size(); ++i) {
    FollowedTarget& target = *targets[i];
    reportLost(target, /*all=*/false, SystemClock::now());
    probe(target, now);
    if (now < target.deadline) continue;
    if (!target.renewing) {
      sendRegistration(target, now);
      continue;
    }
    if (target.attemptsLeft-- > 0) {
      target.deadline = now + retry.timeout;
      talk.send(target.channel, target.endpoint, codec::buildRegistrationRequest());
      continue;
    }
    target.renewing = false;
    if (target.everConfirmed && target.records != target.recordsAtRenewal) {
      // Its confirms drowned in its own flood, but its records come: it
      // holds our registration. Renew again without a word.
      sendRegistration(target, now);
      continue;
    }
    if (!target.everConfirmed && target.named && target.trouble.empty()) {  // refused says more
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
          retry.timeout * (retry.retries + 1));
      std::ostringstream seconds;
      seconds << std::chrono::duration<double>(waited).count();
      target.trouble = "did not answer " + std::to_string(retry.retries + 1) +
                       " registration requests in " + seconds.str() + " s";
      endIfNoneAnswers();
    }
    if (!target.named) {
      // Discovery finds it again if it comes back, under whatever uuid.
      note("warning: " + target.label + " stopped answering; following it no longer");
      releaseHeld(target);
      reportLost(target, /*all=*/true, SystemClock::now());
      handler.onTargetDropped(target);
      talk.closeChannel(target.channel);
      targets.erase(targets.begin() + static_cast<std::ptrdiff_t>(i--));
      continue;
    }
    // An RRQ registers us anew if the target has dropped us or restarted,
    // so keep asking; records lost meanwhile show up as a sequence gap.
    if (!target.silent) {
      note("warning: " + target.label + " did not confirm the " +
           (target.everConfirmed ? "renewal" : "registration") + "; still trying");
    }
    target.silent = true;
    target.deadline = now + kRenewalRetryPause;
  }
}

void Follower::discover() {
  sweep.send(talk);
  nextDiscovery = Clock::now() + options.rediscoverEvery;
}

Clock::time_point Follower::nextDeadline() const {
  Clock::time_point next = Clock::now() + std::chrono::minutes(1);
  next = loss.nextDeadline(next);
  if (!sweep.empty()) next = std::min(next, nextDiscovery);
  if (endAt) next = std::min(next, *endAt);
  for (const auto& target : targets) {
    next = std::min(next, target->deadline);
    if (target->everConfirmed && !target->renewing && !target->silent)
      next = std::min(next, target->nextProbe);
    // Holes fall due in receive time (the system clock); timers run on
    // the steady clock.
    if (const auto due = target->sequence.nextDue()) {
      next = std::min(
          next, Clock::now() + std::max(*due - SystemClock::now(), SystemClock::duration::zero()));
    }
  }
  return handler.nextDeadline(next);
}

}  // namespace remote
