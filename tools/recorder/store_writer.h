// tools/recorder/store_writer.h
//
// The recorder's side of a record store (store/store.h): records and gaps
// are handed over in the order they happened and written in batches, one
// append each, as the store's WritePolicy asks (every 100 ms or 10,000
// entries for a SQLite file; every second or 10,000 for a server), so that
// a busy target costs one commit per batch rather than one per record and
// a killed recorder loses at most the batches it had not written yet.
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
// With a spool (spool.h), for a store server that may be away: a batch the
// server does not take (StoreError kUnavailable) goes to the spool, and so
// does every batch after it while the spool holds any, so that they reach
// the store in order; a sender thread tries the oldest again, backing off
// up to kMaxRetryEvery, and sends them all once it answers. The writer's
// thread only decides and spools, never waits for the server, so a server
// that hangs (a paused process, a lost network) fills the spool, not the
// queue, and the follower keeps receiving. What the spool cannot keep
// (full, or the disk refuses) is counted as lost.
//
// It knows nothing about following: record and web feed it from the
// Follower's callbacks, and record from a capture alike.
//
// Threads: one feeding thread calls every member but the counters, which
// any thread may read; the store belongs to the writer's threads from
// construction to destruction. A store fault on the writer's threads is
// thrown to the feeding thread by its next call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alerts/metrics_text.h"
#include "base/clocks.h"
#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "recorder/spool.h"
#include "store/store.h"

namespace remote {

class StoreWriter {
 public:
  static constexpr std::size_t kMaxQueued = 32;  // batches: a few seconds of a busy host
  static constexpr std::chrono::seconds kIdleTrimEvery{1};
  // A server that did not answer is asked again after 250 ms, then twice
  // as long each time up to this, so a relay notices within two seconds
  // that it is back without knocking on a dead one all the time.
  static constexpr std::chrono::milliseconds kFirstRetryAfter{250};
  static constexpr std::chrono::milliseconds kMaxRetryEvery{2000};

  // `spool`: where batches wait while the store is away (a store whose
  // WritePolicy says it may be); without one, an unavailable store ends
  // the writing as any other fault does.
  StoreWriter(store::Store& store, const store::Retention& retention,
              std::unique_ptr<Spool> spool = nullptr);
  // Writes what is queued (call commit() first to hear of a fault).
  ~StoreWriter();
  StoreWriter(const StoreWriter&) = delete;
  StoreWriter& operator=(const StoreWriter&) = delete;

  const store::WritePolicy& policy() const { return writes; }

  // Queues one entry; hands the batch to the writer when it is full.
  // Throws the StoreError a batch before met.
  void add(store::Entry&& entry);

  // When the queued batch is due, or the next idle retention step.
  Clock::time_point nextDeadline(Clock::time_point next) const;
  // Hands over what is due. Throws as add() does.
  void onTimers(Clock::time_point now);
  // Writes everything handed over and queued, and waits until it is; with
  // a spool, sends what it holds while the store takes it and leaves the
  // rest there for the next start (the store gets one more try first).
  // For the end of a recording: nothing is added after it. Throws
  // StoreError when the store refused a batch for good: that batch is
  // rolled back, and it and every batch after it are counted as unstored
  // (with a spool, the batches after it are kept there instead).
  void commit();

  std::int64_t storedRecords() const { return stored; }
  std::int64_t storedGaps() const { return gaps; }
  std::int64_t unstoredRecords() const { return unstored; }  // in batches the store refused
  std::int64_t deletedRecords() const { return deleted; }    // by retention
  std::int64_t lastId() const { return newestId; }           // of the newest entry written
  // Seconds each batch took to append, and the batches waiting for the
  // writer's thread (for --metrics).
  alerts::Histogram appendSeconds() const;
  double lastAppendSeconds() const { return lastAppend; }
  std::size_t queuedBatches() const;

  // ---- with a spool ----
  bool spooling() const { return spool != nullptr; }
  const std::string& spoolDir() const;
  SpoolDepth spoolDepth() const;
  // Records (and gaps) of batches the spool could not keep: full, or the
  // disk refused them.
  std::int64_t spoolLostRecords() const { return spoolLost; }
  std::int64_t spoolLostGaps() const { return spoolLostGapCount; }
  // Spooled batches found damaged and set aside, and the records they held.
  std::int64_t damagedBatches() const { return damaged; }
  std::int64_t damagedRecords() const { return damagedRecordCount; }

 private:
  // A batch, or an idle retention step when empty.
  using Work = std::vector<store::Entry>;
  struct Numbered {
    std::uint64_t number = 0;  // in the spool's order
    Work work;
  };

  void handOver(Work&& work);
  void throwFailure();
  void writeLoop();
  void write(Work& work);
  void dispatch(Work&& work);
  void sendLoop();
  void send(std::optional<Numbered> direct);
  void keep(std::uint64_t number, const Work& work, bool mayWait);
  bool senderFree() const REQUIRES(mutex);
  bool spoolHeld() const;
  void observe(Clock::time_point began);

  store::Store& store;
  const store::WritePolicy writes;
  const bool trimsWhenIdle;  // a max-age is set
  Work batch;
  Clock::time_point batchStarted;  // when its first entry came
  Clock::time_point nextTrim;
  std::atomic<std::int64_t> stored{0}, gaps{0}, unstored{0}, deleted{0}, newestId{0};
  std::atomic<double> lastAppend{0};
  std::atomic<std::int64_t> spoolLost{0}, spoolLostGapCount{0}, damaged{0}, damagedRecordCount{0};

  mutable Mutex mutex;
  CondVar changed;
  std::deque<Work> queue GUARDED_BY(mutex);
  alerts::Histogram appendTimes GUARDED_BY(mutex){
      {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}};
  bool writing GUARDED_BY(mutex) = false;  // the writer holds a batch
  bool stopping GUARDED_BY(mutex) = false;
  std::exception_ptr failure GUARDED_BY(mutex);
  bool failureThrown = false;  // feeding thread only

  // The sender's side, with a spool.
  std::optional<Numbered> direct GUARDED_BY(mutex);  // for the sender, past the spool
  bool sending GUARDED_BY(mutex) = false;
  bool lastAttemptFailed GUARDED_BY(mutex) = false;  // the store was away at the last try
  Clock::time_point retryAt GUARDED_BY(mutex);
  std::chrono::milliseconds retryEvery GUARDED_BY(mutex) = kFirstRetryAfter;
  bool senderStopping GUARDED_BY(mutex) = false;
  bool draining GUARDED_BY(mutex) = false;      // commit() asked for the last round
  bool drainStopped GUARDED_BY(mutex) = false;  // and the store was away in it
  // The spool's files, for the writer's thread and the sender in turn.
  mutable Mutex spoolMutex;
  std::unique_ptr<Spool> spool;

  std::thread writer;
  std::thread sender;  // with a spool
};

}  // namespace remote
