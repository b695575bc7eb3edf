// tools/remote/store_writer.cpp
//
// Batching entries into the store's transactions, and retention while idle.
//
// Threads: single-threaded; see store_writer.h.
#include "remote/store_writer.h"

#include <algorithm>

namespace remote {

StoreWriter::StoreWriter(store::RecordStore& store, const store::Retention& retention)
    : store(store),
      trimsWhenIdle(retention.maxAge.count() > 0),
      nextTrim(Clock::now() + kIdleTrimEvery) {
  store.setRetention(retention);
  batch.reserve(kMaxBatch);
}

void StoreWriter::add(store::Entry&& entry) {
  if (batch.empty()) batchStarted = Clock::now();
  batch.push_back(std::move(entry));
  if (batch.size() >= kMaxBatch) commit();
}

Clock::time_point StoreWriter::nextDeadline(Clock::time_point next) const {
  if (!batch.empty()) next = std::min(next, batchStarted + kCommitEvery);
  if (trimsWhenIdle) next = std::min(next, nextTrim);
  return next;
}

void StoreWriter::onTimers(Clock::time_point now) {
  if (!batch.empty() && now >= batchStarted + kCommitEvery) commit();
  if (trimsWhenIdle && now >= nextTrim) {
    nextTrim = now + kIdleTrimEvery;
    deleted += store.trim(SystemClock::now());
  }
}

void StoreWriter::commit() {
  if (batch.empty()) return;
  const auto records = std::count_if(batch.begin(), batch.end(), [](const store::Entry& e) {
    return std::holds_alternative<store::StoredRecord>(e);
  });
  try {
    deleted += store.append(batch);
  } catch (...) {
    unstored += records;
    batch.clear();
    throw;
  }
  stored += records;
  gaps += static_cast<std::int64_t>(batch.size()) - records;
  batch.clear();
  // A batch trims as it goes: the next idle step is a second away.
  nextTrim = Clock::now() + kIdleTrimEvery;
}

}  // namespace remote
