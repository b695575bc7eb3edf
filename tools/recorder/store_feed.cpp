// tools/recorder/store_feed.cpp
//
// Ordering records and gaps for the store; see store_feed.h.
//
// Threads: the follower's thread only.
#include "recorder/store_feed.h"

#include <algorithm>

#include "model/levels.h"

namespace remote {

StoreFeed::StoreFeed(Session& session, const RetryPolicy& retry, store::Store& store,
                     const store::Retention& retention, std::unique_ptr<Spool> spool)
    : levels(session, retry), writer(store, retention, std::move(spool)) {}

void StoreFeed::onRecord(FollowedTarget& target, codec::LogRecord&& record,
                         SystemClock::time_point at) {
  levels.lookup(target.endpoint, record.uuid, record.component());
  waiting.push(
      store::StoredRecord{0, {std::move(record), at, target.label}, target.applicationName, {}});
  holdFrom[target.label] = target.sequence.oldestOpen();
  if (waiting.size() >= writer.policy().rows) moveReady(/*final=*/false);
}

// A gap is said once its reorder window is over, and stored right before
// the record after the missing ones, which still waits (records wait while
// their target has a hole open), with that record's receive time, as an
// import of the capture stores it.
void StoreFeed::onLost(FollowedTarget& target, const SequenceGap& gap) {
  store::StoredGap stored;
  stored.target = target.label;
  stored.uuid = target.uuid.value_or(codec::Uuid{});
  stored.applicationName = target.applicationName;
  stored.gap = gap;
  stored.seenAt = gap.seenAt;
  const std::uint32_t after = gap.first + gap.count;
  const auto revealing = [&](const store::Entry& e) {
    const auto* r = std::get_if<store::StoredRecord>(&e);
    return r != nullptr && r->arrived.source == target.label &&
           r->arrived.record.sequence == after && r->arrived.receivedAt == gap.seenAt;
  };
  waiting.insertBefore(revealing, std::move(stored));
  holdFrom[target.label] = target.sequence.oldestOpen();
  lostRecords += gap.count;
  ++gapCount;
}

Clock::time_point StoreFeed::nextDeadline(Clock::time_point next) const {
  return writer.nextDeadline(levels.nextDeadline(next));
}

void StoreFeed::onTimers(Clock::time_point now) {
  levels.onTimers(now);
  moveReady(/*final=*/false);
  write([&] { writer.onTimers(now); });
}

void StoreFeed::finish() {
  if (!failure) moveReady(/*final=*/true);
  // Even after a fault: the batches still queued are counted as unstored.
  try {
    writer.commit();
  } catch (const store::StoreError& error) {
    failure = error;
  }
}

std::int64_t StoreFeed::notStored() const {
  return writer.unstoredRecords() +
         static_cast<std::int64_t>(std::count_if(
             waiting.waiting().begin(), waiting.waiting().end(),
             [](const auto& e) { return std::holds_alternative<store::StoredRecord>(e); }));
}

// Hands the queued entries to the writer in order, up to the first record
// whose level names are still being asked for, or that a gap may yet be
// put before (its target has a hole open since); at the end, all of them.
void StoreFeed::moveReady(bool final) {
  waiting.release(final, [&](store::Entry& entry, const Levels& named) {
    if (failure) return false;
    if (auto* stored = std::get_if<store::StoredRecord>(&entry)) {
      const auto hold = holdFrom.find(stored->arrived.source);
      if (!final && hold != holdFrom.end() && hold->second &&
          *hold->second <= stored->arrived.receivedAt) {
        return false;
      }
      stored->levelName = recordLevelName(stored->arrived.record.clientMask, named);
      for (StoredEntryObserver* observer : observers) observer->onStoredRecord(*stored, named);
    } else {
      for (StoredEntryObserver* observer : observers)
        observer->onStoredGap(std::get<store::StoredGap>(entry));
    }
    write([&] { writer.add(std::move(entry)); });
    return true;
  });
}

// Runs a step that writes; a store fault is kept, which ends the follow.
template <typename Step>
void StoreFeed::write(Step step) {
  if (failure) return;
  try {
    step();
  } catch (const store::StoreError& error) {
    failure = error;
  }
}

}  // namespace remote
