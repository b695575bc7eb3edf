// tools/recorder/store_writer.h
//
// The recorder's side of a record store (store/record_store.h): records and
// gaps are handed over in the order they happened and written in batches,
// one transaction each, every kCommitEvery or as soon as kMaxBatch wait, so
// that a busy target costs one commit per batch rather than one per record
// and a killed recorder loses at most the batches it had not written yet.
// Retention runs with every batch, and on its own once a second while
// nothing comes in (a max-age keeps moving).
//
// The writing itself happens on a thread of the writer's own: a commit with
// its full-text index costs about as much per record as everything else a
// follower does, and on the follower's thread it would stall the receive
// loop until the socket's buffer overflows. Batches queue for that thread
// up to kMaxQueued; beyond that, add() waits, so a store that cannot keep
// up shows as records the kernel dropped, counted, never as memory.
//
// It knows nothing about following: record and web feed it from the
// Follower's callbacks, and record from a capture alike.
//
// Threads: one feeding thread calls every member; the store belongs to the
// writer's thread from construction to destruction. A store fault on the
// writer's thread is thrown to the feeding thread by its next call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <thread>
#include <vector>

#include "alerts/metrics_text.h"
#include "base/clocks.h"
#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "store/store.h"

namespace remote {

class StoreWriter {
 public:
  static constexpr std::chrono::milliseconds kCommitEvery{100};
  static constexpr std::size_t kMaxBatch = 10'000;
  static constexpr std::size_t kMaxQueued = 32;  // batches: a few seconds of a busy host
  static constexpr std::chrono::seconds kIdleTrimEvery{1};

  StoreWriter(store::Store& store, const store::Retention& retention);
  // Writes what is queued (call commit() first to hear of a fault).
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  // Queues one entry; hands the batch to the writer when it is full.
  // Throws the StoreError a batch before met.
  void add(store::Entry&& entry);

  // When the queued batch is due, or the next idle retention step.
  Clock::time_point nextDeadline(Clock::time_point next) const;
  // Hands over what is due. Throws as add() does.
  void onTimers(Clock::time_point now);
  // Writes everything handed over and queued, and waits until it is. Throws
  // StoreError when the store refused a batch: that batch is rolled back,
  // and it and every batch after it are counted as unstored.
  void commit();

  std::int64_t storedRecords() const { return stored; }
  std::int64_t storedGaps() const { return gaps; }
  std::int64_t unstoredRecords() const { return unstored; }  // in batches the store refused
  std::int64_t deletedRecords() const { return deleted; }    // by retention
  std::int64_t lastId() const { return newestId; }           // of the newest entry written
  // Seconds each batch took to append, and the batches waiting for the
  // writer's thread (for --metrics).
  alerts::Histogram appendSeconds() const;
  std::size_t queuedBatches() const;

 private:
  // A batch, or an idle retention step when empty.
  using Work = std::vector<store::Entry>;

  void handOver(Work&& work);
  void throwFailure();
  void writeLoop();
  void write(Work& work);

  store::Store& store;
  const bool trimsWhenIdle;  // a max-age is set
  Work batch;
  Clock::time_point batchStarted;  // when its first entry came
  Clock::time_point nextTrim;
  std::atomic<std::int64_t> stored{0}, gaps{0}, unstored{0}, deleted{0}, newestId{0};

  mutable Mutex mutex;
  CondVar changed;
  std::deque<Work> queue GUARDED_BY(mutex);
  alerts::Histogram appendTimes GUARDED_BY(mutex){
      {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5}};
  bool writing GUARDED_BY(mutex) = false;  // the writer holds a batch
  bool stopping GUARDED_BY(mutex) = false;
  std::exception_ptr failure GUARDED_BY(mutex);
  bool failureThrown = false;  // feeding thread only
  std::thread writer;
};

}  // namespace remote
