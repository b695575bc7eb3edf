// tools/recorder/store_feed.h
//
// What a follower that stores does with what it receives: records wait in
// order of arrival for their component's level names (component_levels.h)
// and while their target has a sequence hole whose reorder window is still
// open; a gap, once said, goes in place right before the record after the
// missing ones; then every entry goes to the StoreWriter in that order. A
// store fault is kept and ends the follow (failed()), so the Follower still
// unregisters on its way out. `record` and `web` both feed a store so.
//
// Threads: the follower's thread only; the writing happens on the
// StoreWriter's own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "follow/component_levels.h"
#include "follow/follow.h"
#include "follow/level_names_queue.h"
#include "recorder/store_writer.h"

namespace remote {

// Sees each entry as it goes to the store: in the store's order, a record
// with its component's level descriptions (empty when they never came).
class StoredEntryObserver {
 public:
  virtual ~StoredEntryObserver() = default;
  virtual void onStoredRecord(const store::StoredRecord& record, const Levels& levels) = 0;
  virtual void onStoredGap(const store::StoredGap& gap) = 0;
};

class StoreFeed {
 public:
  // Entries are stored about every 100 ms: a millisecond more in the socket
  // (FollowOptions::gather) saves most wake-ups of a busy host's stream.
  static constexpr std::chrono::milliseconds kGather{1};

  // `spool`: see StoreWriter.
  StoreFeed(Session& session, const RetryPolicy& retry, store::Store& store,
            const store::Retention& retention, std::unique_ptr<Spool> spool = nullptr);

  void onRecord(FollowedTarget& target, codec::LogRecord&& record, SystemClock::time_point at);
  void onLost(FollowedTarget& target, const SequenceGap& gap);
  void onDatagram(codec::Datagram& datagram) { levels.onDatagram(datagram); }
  Clock::time_point nextDeadline(Clock::time_point next) const;
  void onTimers(Clock::time_point now);
  // Writes everything still waiting (level names or not) and waits for the
  // writer; after a fault, counts what was not written.
  void finish();

  // `observer` (which outlives the feed) sees every entry from now on.
  void observeWith(StoredEntryObserver* observer) { observers.push_back(observer); }

  bool failed() const { return failure.has_value(); }
  const std::optional<store::StoreError>& fault() const { return failure; }
  const StoreWriter& written() const { return writer; }
  std::int64_t lost() const { return lostRecords; }
  std::int64_t gaps() const { return gapCount; }
  // Records received but not written: in batches the store refused, or
  // still waiting when a fault ended the follow.
  std::int64_t notStored() const;

 private:
  void moveReady(bool final);
  template <typename Step>
  void write(Step step);

  ComponentLevels levels;
  StoreWriter writer;
  // For level names and gaps, in order of arrival.
  LevelNamesQueue<store::Entry> waiting{levels, [](const store::Entry& e) {
                                          const auto* stored = std::get_if<store::StoredRecord>(&e);
                                          return stored ? &stored->arrived.record : nullptr;
                                        }};
  // By target: when the record came that opened its oldest open hole.
  std::map<std::string, std::optional<SystemClock::time_point>> holdFrom;
  std::optional<store::StoreError> failure;
  std::int64_t lostRecords = 0, gapCount = 0;
  std::vector<StoredEntryObserver*> observers;
};

}  // namespace remote
