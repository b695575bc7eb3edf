// tools/web/web_follower.cpp
//
// The web console's follower: records and gaps into the store, targets and
// components onto the board.
//
// Threads: the main thread only (the Follower's poll() loop calls in here),
// but for levelNotRestored().
#include "web/web_follower.h"

#include <algorithm>

#include "base/note.h"
#include "wire/wire_format.h"

namespace web {

using remote::Clock;

namespace {
constexpr std::chrono::seconds kPublishEvery{1};
}  // namespace

WebFollower::WebFollower(const remote::RetryPolicy& retry, const remote::FollowOptions& options,
                         store::Store& store, const store::Retention& retention, WebBoard& board,
                         const remote::AlertFlags& alertFlags)
    : follower(retry, options, *this, /*firstConfirmRequired=*/false),
      feed(follower.session(), retry, store, retention),
      board(board),
      nextPublish(Clock::now()),
      lastPublish(Clock::now()) {
  if (alertFlags.any()) {
    alerts.emplace(alertFlags);
    feed.observeWith(&*alerts);
  }
}

std::int64_t WebFollower::run() {
  lastCommitted = feed.written().lastId();
  board.committed(lastCommitted);
  follower.run();
  feed.finish();
  board.committed(feed.written().lastId());
  if (feed.fault()) remote::note(std::string("error: ") + feed.fault()->what());
  // A drop that no later record showed as a gap (the follow ended first)
  // is a loss all the same.
  return feed.lost() + feed.notStored() +
         static_cast<std::int64_t>(follower.losses().kernelDrops());
}

void WebFollower::finishAlerts() {
  if (!alerts) return;
  feedNotRestored();
  alerts->finish();
  remote::note(alerts->summary());
}

void WebFollower::onRecord(remote::FollowedTarget& target, codec::LogRecord&& record,
                           remote::SystemClock::time_point at) {
  Seen& s = seen[target.label];
  ++s.records;
  s.components.try_emplace(record.component());
  feed.onRecord(target, std::move(record), at);
}

void WebFollower::onLost(remote::FollowedTarget& target, const remote::SequenceGap& gap) {
  feed.onLost(target, gap);
  Seen& s = seen[target.label];
  s.lost += gap.count;
  ++s.gaps;
}

void WebFollower::onTargetAdded(remote::FollowedTarget& target) {
  Seen& s = seen[target.label];
  s.live = &target;
  s.endpoint = target.endpoint;
}

void WebFollower::onTargetDropped(remote::FollowedTarget& target) {
  seen[target.label].live = nullptr;
  if (alerts) alerts->onTargetDropped(target);
}

void WebFollower::onConfirmed(remote::FollowedTarget& target) {
  if (alerts) alerts->onConfirmed(target);
}

void WebFollower::onOtherDatagram(remote::FollowedTarget& target, remote::Received&& r) {
  if (const auto* info = std::get_if<codec::ComponentInfo>(&r.datagram)) {
    // The infos that follow each registration confirm: every component
    // with the mask it holds now.
    if (info->requestId == wire::kUnsolicitedRequestId)
      seen[target.label].components[info->name] = info->clientMask;
  }
  feed.onDatagram(r.datagram);
}

Clock::time_point WebFollower::nextDeadline(Clock::time_point next) {
  next = std::min(feed.nextDeadline(next), nextPublish);
  return alerts ? alerts->nextDeadline(next) : next;
}

void WebFollower::levelNotRestored(const std::string& target, const std::string& component) {
  if (!alerts) return;
  MutexLock lock(notRestoredMutex);
  notRestored.emplace_back(target, component);
}

void WebFollower::feedNotRestored() {
  std::vector<std::pair<std::string, std::string>> events;
  {
    MutexLock lock(notRestoredMutex);
    events.swap(notRestored);
  }
  for (const auto& [target, component] : events) {
    const auto s = seen.find(target);
    std::string application;
    if (s != seen.end())
      application =
          s->second.live != nullptr ? s->second.live->applicationName : s->second.application;
    alerts->onLevelNotRestored(target, application, component);
  }
}

void WebFollower::onTimers(Clock::time_point now) {
  feed.onTimers(now);
  if (alerts) {
    feedNotRestored();
    alerts->onKernelDrops(static_cast<std::int64_t>(follower.losses().kernelDrops()));
    alerts->onTimers(now);
    if (alerts->changes() != alertChanges) {
      alertChanges = alerts->changes();
      board.publishAlerts(alerts->json());
    }
  }
  onBatchEnd();
  if (now >= nextPublish) publish(now);
}

// The writer commits by time or size; streams learn of it here.
void WebFollower::onBatchEnd() {
  const remote::StoreWriter& written = feed.written();
  if (written.storedRecords() + written.storedGaps() == lastCommitted) return;
  lastCommitted = written.storedRecords() + written.storedGaps();
  board.committed(written.lastId());
}

void WebFollower::publish(Clock::time_point now) {
  const double seconds = std::max(std::chrono::duration<double>(now - lastPublish).count(), 0.001);
  std::vector<TargetState> states;
  for (auto& [label, s] : seen) {
    if (s.live != nullptr) {
      if (s.live->uuid) s.uuid = codec::uuidToHex(*s.live->uuid);
      s.application = s.live->applicationName;
    }
    s.rate = static_cast<double>(s.records - s.recordsAtLastPublish) / seconds;
    s.recordsAtLastPublish = s.records;
    TargetState t;
    t.label = label;
    t.endpoint = s.endpoint;
    t.uuid = s.uuid;
    t.application = s.application;
    t.state = s.live == nullptr                          ? "gone"
              : s.live->silent || !s.live->everConfirmed ? "not answering"
                                                         : "following";
    t.recordsPerSecond = s.rate;
    t.records = s.records;
    t.lost = s.lost;
    t.gaps = s.gaps;
    t.components = s.components;
    states.push_back(std::move(t));
  }
  board.publish(std::move(states));
  lastPublish = now;
  nextPublish = now + kPublishEvery;
}

}  // namespace web
