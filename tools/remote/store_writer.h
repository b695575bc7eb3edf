// tools/remote/store_writer.h
//
// The recorder's side of a record store (store/record_store.h): records and
// gaps are handed over in the order they happened and written in batches,
// one transaction each, every kCommitEvery or as soon as kMaxBatch wait, so
// that a busy target costs one commit per batch rather than one per record
// and a killed recorder loses at most the batch it had not written yet.
// Retention runs with every batch, and on its own once a second while
// nothing comes in (a max-age keeps moving).
//
// It knows nothing about following: record feeds it from the Follower's
// callbacks and from a capture alike.
//
// Threads: single-threaded; the store belongs to the same thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "remote/clocks.h"
#include "store/record_store.h"

namespace remote {

class StoreWriter {
 public:
  static constexpr std::chrono::milliseconds kCommitEvery{100};
  static constexpr std::size_t kMaxBatch = 10'000;
  static constexpr std::chrono::seconds kIdleTrimEvery{1};

  StoreWriter(store::RecordStore& store, const store::Retention& retention);

  // Queues one entry; writes the batch at once when it is full. Throws
  // StoreError as commit() does.
  void add(store::Entry&& entry);

  // When the queued batch is due, or the next idle retention step.
  Clock::time_point nextDeadline(Clock::time_point next) const;
  // Writes what is due. Throws StoreError as commit() does.
  void onTimers(Clock::time_point now);
  // Writes the queued batch now. Throws StoreError when the store refuses
  // it: the whole batch is rolled back and counted as unstored.
  void commit();

  std::int64_t storedRecords() const { return stored; }
  std::int64_t storedGaps() const { return gaps; }
  std::int64_t unstoredRecords() const { return unstored; }  // in batches the store refused
  std::int64_t deletedRecords() const { return deleted; }    // by retention

 private:
  store::RecordStore& store;
  const bool trimsWhenIdle;  // a max-age is set
  std::vector<store::Entry> batch;
  Clock::time_point batchStarted;  // when its first entry came
  Clock::time_point nextTrim;
  std::int64_t stored = 0, gaps = 0, unstored = 0, deleted = 0;
};

}  // namespace remote
