// tools/web/web_follower.cpp
//
// The web console's follower: records and gaps into the store, targets and
// components onto the board.
//
// Threads: the main thread only (the Follower's poll() loop calls in here).
#include "web/web_follower.h"

#include <algorithm>

#include "remote/levels.h"
#include "remote/note.h"
#include "wire_format.h"

namespace web {

using remote::Clock;

namespace {
constexpr std::chrono::seconds kPublishEvery{1};
}  // namespace

WebFollower::WebFollower(const remote::RetryPolicy& retry, const remote::FollowOptions& options,
                         store::RecordStore& store, const store::Retention& retention,
                         WebBoard& board)
    : follower(retry, options, *this, /*firstConfirmRequired=*/false),
      levels(follower.session(), retry),
      writer(store, retention),
      board(board),
      nextPublish(Clock::now()),
      lastPublish(Clock::now()) {}

std::int64_t WebFollower::run() {
  lastCommitted = writer.lastId();
  board.committed(lastCommitted);
  follower.run();
  if (!failure) moveReady(/*final=*/true);
  // Even after a fault: the batches still queued are counted as unstored.
  try {
    writer.commit();
  } catch (const store::StoreError& error) {
    failure = error;
  }
  board.committed(writer.lastId());
  if (failure) remote::note(std::string("error: ") + failure->what());
  return lost + writer.unstoredRecords();
}

void WebFollower::onRecord(remote::FollowedTarget& target, codec::LogRecord&& record,
                           remote::SystemClock::time_point at) {
  Seen& s = seen[target.label];
  ++s.records;
  s.components.try_emplace(record.strings[0]);
  levels.lookup(target.endpoint, record.uuid, record.strings[0]);
  waiting.push_back(
      store::StoredRecord{0, {std::move(record), at, target.label}, target.applicationName, {}});
  holdFrom[target.label] = target.sequence.oldestOpen();
  if (waiting.size() >= remote::StoreWriter::kMaxBatch) moveReady(/*final=*/false);
}

// A gap is said once its reorder window is over and stored in place, as
// record stores it: right before the record after the missing ones, which
// still waits (records wait while their target has a hole open).
void WebFollower::onLost(remote::FollowedTarget& target, const remote::SequenceGap& gap) {
  store::StoredGap stored;
  stored.target = target.label;
  stored.uuid = target.uuid.value_or(codec::Uuid{});
  stored.applicationName = target.applicationName;
  stored.gap = gap;
  stored.seenAt = gap.seenAt;
  const std::uint32_t after = gap.first + gap.count;
  const auto revealing = std::find_if(waiting.begin(), waiting.end(), [&](const store::Entry& e) {
    const auto* r = std::get_if<store::StoredRecord>(&e);
    return r != nullptr && r->arrived.source == target.label &&
           r->arrived.record.sequence == after && r->arrived.receivedAt == gap.seenAt;
  });
  waiting.insert(revealing, std::move(stored));
  holdFrom[target.label] = target.sequence.oldestOpen();
  lost += gap.count;
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
}

void WebFollower::onOtherDatagram(remote::FollowedTarget& target, remote::Received&& r) {
  if (const auto* info = std::get_if<codec::ComponentInfo>(&r.datagram)) {
    // The infos that follow each registration confirm: every component
    // with the mask it holds now.
    if (info->requestId == wire::kUnsolicitedRequestId)
      seen[target.label].components[info->name] = info->clientMask;
  }
  levels.onDatagram(r.datagram);
}

// Hands the queued entries to the writer in order, up to the first record
// whose level names are still being asked for, or that a gap may yet be
// put before (its target has a hole open since); at the end, all of them.
void WebFollower::moveReady(bool final) {
  while (!waiting.empty() && !failure) {
    if (auto* stored = std::get_if<store::StoredRecord>(&waiting.front())) {
      const codec::LogRecord& record = stored->arrived.record;
      const remote::Levels* known = levels.levelsFor(record.uuid, record.strings[0]);
      if (known == nullptr && !final) return;
      const auto hold = holdFrom.find(stored->arrived.source);
      if (!final && hold != holdFrom.end() && hold->second &&
          *hold->second <= stored->arrived.receivedAt) {
        return;
      }
      stored->levelName = remote::recordLevelName(
          record.clientMask, known ? *known : levels.levelsOrNone(record.uuid, record.strings[0]));
    }
    store::Entry entry = std::move(waiting.front());
    waiting.pop_front();
    write([&] { writer.add(std::move(entry)); });
  }
}

// A store fault ends the follow (done()), so the Follower still
// unregisters on its way out.
template <typename Step>
void WebFollower::write(Step step) {
  if (failure) return;
  try {
    step();
  } catch (const store::StoreError& error) {
    failure = error;
  }
}

Clock::time_point WebFollower::nextDeadline(Clock::time_point next) {
  return std::min(writer.nextDeadline(levels.nextDeadline(next)), nextPublish);
}

void WebFollower::onTimers(Clock::time_point now) {
  levels.onTimers(now);
  moveReady(/*final=*/false);
  write([&] { writer.onTimers(now); });
  onBatchEnd();
  if (now >= nextPublish) publish(now);
}

// The writer commits by time or size; streams learn of it here.
void WebFollower::onBatchEnd() {
  if (writer.storedRecords() + writer.storedGaps() == lastCommitted) return;
  lastCommitted = writer.storedRecords() + writer.storedGaps();
  write([&] { board.committed(writer.lastId()); });
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
