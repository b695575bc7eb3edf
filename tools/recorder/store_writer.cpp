// tools/recorder/store_writer.cpp
//
// Batching entries into the store's transactions on a writer thread, and
// retention while idle.
//
// Threads: see store_writer.h; writeLoop() and write() run on the writer
// thread, everything else on the feeding thread.
#include "recorder/store_writer.h"

#include <algorithm>

namespace remote {
namespace {

std::int64_t recordsIn(const std::vector<store::Entry>& entries) {
  return std::count_if(entries.begin(), entries.end(), [](const store::Entry& e) {
    return std::holds_alternative<store::StoredRecord>(e);
  });
}

}  // namespace

StoreWriter::StoreWriter(store::Store& store, const store::Retention& retention)
    : store(store),
      trimsWhenIdle(retention.maxAge.count() > 0),
      nextTrim(Clock::now() + kIdleTrimEvery) {
  store.setRetention(retention);
  newestId = store.lastId();
  batch.reserve(kMaxBatch);
  writer = std::thread([this] { writeLoop(); });
}

StoreWriter::~StoreWriter() {
  if (!batch.empty()) handOver(std::move(batch));
  {
    MutexLock lock(mutex);
    stopping = true;
  }
  changed.notifyAll();
  writer.join();
}

void StoreWriter::add(store::Entry&& entry) {
  // Kept even after a fault, so that commit() counts it as unstored.
  if (batch.empty()) batchStarted = Clock::now();
  batch.push_back(std::move(entry));
  if (batch.size() >= kMaxBatch) handOver(std::move(batch));
  throwFailure();
}

Clock::time_point StoreWriter::nextDeadline(Clock::time_point next) const {
  if (!batch.empty()) next = std::min(next, batchStarted + kCommitEvery);
  if (trimsWhenIdle) next = std::min(next, nextTrim);
  return next;
}

void StoreWriter::onTimers(Clock::time_point now) {
  throwFailure();
  if (!batch.empty() && now >= batchStarted + kCommitEvery) {
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
    while (!queue.empty() || writing) changed.wait(mutex);
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
  batch.reserve(kMaxBatch);
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
    write(work);
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
    const std::chrono::duration<double> took = Clock::now() - began;
    MutexLock lock(mutex);
    appendTimes.observe(took.count());
  } catch (...) {
    unstored += records;
    MutexLock lock(mutex);
    failure = std::current_exception();
    return;
  }
  stored += records;
  gaps += static_cast<std::int64_t>(work.size()) - records;
}

alerts::Histogram StoreWriter::appendSeconds() const {
  MutexLock lock(mutex);
  return appendTimes;
}

std::size_t StoreWriter::queuedBatches() const {
  MutexLock lock(mutex);
  return queue.size() + (writing ? 1 : 0);
}

}  // namespace remote
