// tools/recorder/store_writer.cpp
//
// Batching entries into the store's appends on a writer thread, retention
// while idle, and, with a spool, the sender that keeps trying a store that
// is away.
//
// Threads: see store_writer.h; writeLoop(), write(), dispatch() and keep()
// run on the writer thread, sendLoop() and send() on the sender thread
// (keep() too, for the batch it was sending), everything else on the
// feeding thread.
#include "recorder/store_writer.h"

#include <algorithm>

#include "base/note.h"
#include "base/plural.h"

namespace remote {
namespace {

std::int64_t recordsIn(const std::vector<store::Entry>& entries) {
  return std::count_if(entries.begin(), entries.end(), [](const store::Entry& e) {
    return std::holds_alternative<store::StoredRecord>(e);
  });
}

bool unavailable(const store::StoreError& error) {
  return error.kind() == store::StoreError::Kind::kUnavailable;
}

}  // namespace

StoreWriter::StoreWriter(store::Store& store, const store::Retention& retention,
                         std::unique_ptr<Spool> spoolDir)
    : store(store),
      writes(store.writePolicy()),
      trimsWhenIdle(retention.maxAge.count() > 0),
      nextTrim(Clock::now() + kIdleTrimEvery),
      spool(std::move(spoolDir)) {
  store.setRetention(retention);
  try {
    newestId = store.lastId();
  } catch (const store::StoreError& error) {
    // A relay starts while its server is away: the spool takes the batches.
    if (!spool || !unavailable(error)) throw;
  }
  batch.reserve(writes.rows);
  if (spool) {
    for (const DamagedBatch& d : spool->damagedAtOpen()) {
      ++damaged;
      damagedRecordCount += d.records;
      note("spooled batch set aside, not sent: " + d.path + ": " + d.why);
    }
  }
  writer = std::thread([this] { writeLoop(); });
  if (spool) sender = std::thread([this] { sendLoop(); });
}

StoreWriter::~StoreWriter() {
  if (!batch.empty()) handOver(std::move(batch));
  {
    MutexLock lock(mutex);
    stopping = true;
  }
  changed.notifyAll();
  writer.join();
  if (!sender.joinable()) return;
  {
    // Only now: the writer's last batch may have gone to the sender.
    MutexLock lock(mutex);
    senderStopping = true;
  }
  changed.notifyAll();
  sender.join();
}

void StoreWriter::add(store::Entry&& entry) {
  // Kept even after a fault, so that commit() counts it as unstored.
  if (batch.empty()) batchStarted = Clock::now();
  batch.push_back(std::move(entry));
  if (batch.size() >= writes.rows) handOver(std::move(batch));
  throwFailure();
}

Clock::time_point StoreWriter::nextDeadline(Clock::time_point next) const {
  if (!batch.empty()) next = std::min(next, batchStarted + writes.wait);
  if (trimsWhenIdle) next = std::min(next, nextTrim);
  return next;
}

void StoreWriter::onTimers(Clock::time_point now) {
  throwFailure();
  if (!batch.empty() && now >= batchStarted + writes.wait) {
    handOver(std::move(batch));
    nextTrim = now + kIdleTrimEvery;  // a batch trims as it goes
  }
  if (trimsWhenIdle && now >= nextTrim) {
    nextTrim = now + kIdleTrimEvery;
    handOver(Work{});
  }
}

void StoreWriter::commit() {
  if (!batch.empty()) handOver(std::move(batch));
  {
    MutexLock lock(mutex);
    draining = true;
    retryAt = Clock::now();
  }
  changed.notifyAll();
  {
    MutexLock lock(mutex);
    // With a spool, the sender is done when it holds nothing and the spool
    // is empty, or the store was away once more, or refused a batch.
    while (!queue.empty() || writing || direct || sending ||
           (spoolHeld() && !drainStopped && !failure)) {
      changed.wait(mutex);
    }
  }
  throwFailure();
}

void StoreWriter::handOver(Work&& work) {
  {
    MutexLock lock(mutex);
    while (queue.size() >= kMaxQueued && !failure) changed.wait(mutex);
    queue.push_back(std::move(work));
  }
  changed.notifyAll();
  batch = Work{};
  batch.reserve(writes.rows);
}

void StoreWriter::throwFailure() {
  if (failureThrown) return;
  std::exception_ptr fault;
  {
    MutexLock lock(mutex);
    fault = failure;
  }
  if (!fault) return;
  failureThrown = true;
  std::rethrow_exception(fault);
}

void StoreWriter::writeLoop() {
  for (;;) {
    Work work;
    {
      MutexLock lock(mutex);
      while (queue.empty() && !stopping) changed.wait(mutex);
      if (queue.empty()) return;
      work = std::move(queue.front());
      queue.pop_front();
      writing = true;
    }
    if (spool) {
      dispatch(std::move(work));
    } else {
      write(work);
    }
    {
      MutexLock lock(mutex);
      writing = false;
    }
    changed.notifyAll();
  }
}

void StoreWriter::write(Work& work) {
  const std::int64_t records = recordsIn(work);
  bool failed;
  {
    MutexLock lock(mutex);
    failed = failure != nullptr;
  }
  if (failed) {  // the store said no before: nothing after that batch is written
    unstored += records;
    return;
  }
  try {
    if (work.empty()) {
      deleted += store.trim(SystemClock::now());
      return;
    }
    const auto began = Clock::now();
    deleted += store.append(work, SystemClock::now());
    newestId = store.lastId();
    observe(began);
  } catch (...) {
    unstored += records;
    MutexLock lock(mutex);
    failure = std::current_exception();
    return;
  }
  stored += records;
  gaps += static_cast<std::int64_t>(work.size()) - records;
}

void StoreWriter::observe(Clock::time_point began) {
  const std::chrono::duration<double> took = Clock::now() - began;
  lastAppend = took.count();
  MutexLock lock(mutex);
  appendTimes.observe(took.count());
}

// ---- with a spool ----

bool StoreWriter::spoolHeld() const { return spool && spool->depth().batches > 0; }

// Whether a new batch may go to the store at once: nothing older waits in
// the spool or with the sender, and the store answered last time (or it
// is time to ask again), so that a server that hangs costs one batch's
// wait, not one for every batch.
bool StoreWriter::senderFree() const {
  return !sending && !direct && !spoolHeld() && !failure && !drainStopped &&
         (!lastAttemptFailed || Clock::now() >= retryAt);
}

void StoreWriter::dispatch(Work&& work) {
  const bool trim = work.empty();
  bool sent = false;
  {
    MutexLock lock(mutex);
    if (senderFree()) {
      MutexLock files(spoolMutex);
      direct = Numbered{trim ? 0 : spool->reserve(), std::move(work)};
      sent = true;
    }
  }
  // Retention is for a store that answers; another step comes in a second.
  if (!sent && !trim) {
    std::uint64_t number;
    {
      MutexLock files(spoolMutex);
      number = spool->reserve();
    }
    keep(number, work, /*mayWait=*/true);
  }
  changed.notifyAll();
}

// Puts a batch in the spool; what it cannot keep is lost, and counted. A
// full spool while the store answers is being sent: the writer waits for
// the room the sender makes rather than lose the batch (the queue takes up
// the wait); while the store is away, nothing makes room.
void StoreWriter::keep(std::uint64_t number, const Work& work, bool mayWait) {
  std::string why;
  for (;;) {
    Spool::Put put;
    {
      MutexLock files(spoolMutex);
      put = spool->put(number, work, why);
    }
    if (put == Spool::Put::kKept) return;
    if (put == Spool::Put::kRefused || !mayWait) break;
    MutexLock lock(mutex);
    const std::int64_t before = spool->depth().bytes;
    if (spool->depth().batches == 0) break;  // bigger than the whole spool
    while (!lastAttemptFailed && !failure && spool->depth().batches > 0 &&
           spool->depth().bytes == before) {
      changed.wait(mutex);
    }
    if (lastAttemptFailed || failure) break;
  }
  const std::int64_t records = recordsIn(work);
  if (spoolLost == 0 && spoolLostGapCount == 0)  // once: the counts say the rest
    note("records lost: " + why);
  spoolLost += records;
  spoolLostGapCount += static_cast<std::int64_t>(work.size()) - records;
}

void StoreWriter::sendLoop() {
  for (;;) {
    std::optional<Numbered> next;
    {
      MutexLock lock(mutex);
      for (;;) {
        if (direct) {
          next = std::move(direct);
          direct.reset();
          break;
        }
        const bool held = spoolHeld() && !failure && !drainStopped;
        if (held && (Clock::now() >= retryAt)) break;
        if (senderStopping) return;
        if (held) {
          changed.waitUntil(mutex, retryAt);
        } else {
          changed.wait(mutex);
        }
      }
      sending = true;
    }
    send(std::move(next));
    {
      MutexLock lock(mutex);
      sending = false;
    }
    changed.notifyAll();
  }
}

// Appends `direct`, or else the spool's oldest batch. A store that is away
// puts the direct batch in the spool and the next try off; any other fault
// ends the writing.
void StoreWriter::send(std::optional<Numbered> direct) {
  Numbered batch;
  const bool spooled = !direct;
  if (direct) {
    batch = std::move(*direct);
  } else {
    std::optional<DamagedBatch> damage;
    std::optional<Work> read;
    {
      MutexLock files(spoolMutex);
      batch.number = *spool->oldest();
      read = spool->read(batch.number, damage);
    }
    if (!read) {
      ++damaged;
      damagedRecordCount += damage->records;
      note("spooled batch set aside, not sent: " + damage->path + ": " + damage->why +
           (damage->records > 0 ? " (" + counted(damage->records, "record") + " lost)"
                                : std::string(" (its records are lost)")));
      return;
    }
    batch.work = std::move(*read);
  }
  const std::int64_t records = recordsIn(batch.work);
  try {
    if (batch.work.empty()) {
      deleted += store.trim(SystemClock::now());
    } else {
      const auto began = Clock::now();
      deleted += store.append(batch.work, SystemClock::now());
      observe(began);
      stored += records;
      gaps += static_cast<std::int64_t>(batch.work.size()) - records;
      if (spooled) {
        MutexLock files(spoolMutex);
        spool->remove(batch.number);
      }
      // The batch is in: a server that fails right after it does not make
      // it unstored, and the next batch finds out what is wrong.
      try {
        newestId = store.lastId();
      } catch (const store::StoreError&) {
      }
    }
  } catch (const store::StoreError& error) {
    if (!unavailable(error)) {
      if (!spooled) unstored += records;  // a spooled one stays for the next start
      MutexLock lock(mutex);
      failure = std::current_exception();
      return;
    }
    bool first;
    {
      MutexLock lock(mutex);
      first = !lastAttemptFailed;
      lastAttemptFailed = true;
      retryAt = Clock::now() + retryEvery;
      retryEvery = std::min(retryEvery * 2, kMaxRetryEvery);
      if (draining) drainStopped = true;
    }
    if (first) note(std::string(error.what()) + ": keeping batches in " + spool->directory());
    if (!spooled && !batch.work.empty()) keep(batch.number, batch.work, /*mayWait=*/false);
    return;
  } catch (...) {
    if (!spooled) unstored += records;
    MutexLock lock(mutex);
    failure = std::current_exception();
    return;
  }
  bool back;
  {
    MutexLock lock(mutex);
    back = lastAttemptFailed;
    lastAttemptFailed = false;
    retryEvery = kFirstRetryAfter;
    retryAt = Clock::now();
  }
  if (back) {
    const SpoolDepth left = spoolDepth();
    note("the store answers again; sending the " + counted(left.records, "spooled record") +
         " in order");
  }
}

const std::string& StoreWriter::spoolDir() const {
  static const std::string none;
  return spool ? spool->directory() : none;
}

SpoolDepth StoreWriter::spoolDepth() const { return spool ? spool->depth() : SpoolDepth{}; }

alerts::Histogram StoreWriter::appendSeconds() const {
  MutexLock lock(mutex);
  return appendTimes;
}

std::size_t StoreWriter::queuedBatches() const {
  MutexLock lock(mutex);
  return queue.size() + (writing ? 1 : 0);
}

}  // namespace remote
