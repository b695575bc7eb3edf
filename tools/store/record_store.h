// tools/store/record_store.h
//
// The record store: one SQLite file holding every log record a recorder
// received and every gap in a target's sequence numbers, in the order they
// happened. It owns the schema and its migrations (PRAGMA user_version),
// opening a file as a recorder (the only writer) or as a reader, appending
// batches in one transaction each (with the record counts per target,
// component and level that statistics read), and retention (oldest records
// deleted first, a bounded number per batch).
//
// Records and gaps take their ids from one counter, so "in place" is simply
// "ordered by id" and a follower resumes after the last id it saw. Ids are
// never reused, even when retention has emptied the store.
//
// One recorder per file: a recorder holds an flock() on FILE-lock for as
// long as it is open, so a second one is refused at once with the holder's
// pid, and a killed recorder's lock goes with its process. Readers take no
// lock and see committed batches only (WAL mode).
//
// Threads: a RecordStore and the queries made on it belong to one thread;
// a recorder's copies of its log into the file run on a thread of their
// own (wal_checkpointer.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "common/unique_fd.h"
#include "model/arrived_record.h"
#include "model/sequence_check.h"
#include "store/sqlite.h"
#include "store/store_error.h"
#include "store/wal_checkpointer.h"

namespace store {

inline constexpr int kSchemaVersion = 1;

// A record as tail shows it, with what the store adds.
struct StoredRecord {
  std::int64_t id = 0;            // set by the store
  remote::ArrivedRecord arrived;  // the decoded record, receive time, target "address:port"
  std::string applicationName;    // of the target instance that sent it
  std::string levelName;          // as tail names it; empty: "level K" from the mask
};

// Records a target numbered but that never arrived, seen when the record
// after them came.
struct StoredGap {
  std::int64_t id = 0;  // set by the store
  std::string target;   // "address:port"
  codec::Uuid uuid{};   // of the target instance
  std::string applicationName;
  remote::SequenceGap gap;
  remote::SystemClock::time_point seenAt;

  std::uint32_t last() const { return gap.first + gap.count - 1; }  // modulo 2^32, as numbered
};

using Entry = std::variant<StoredRecord, StoredGap>;

struct Retention {
  std::int64_t maxRecords = 0;         // 0: no limit
  std::chrono::nanoseconds maxAge{0};  // 0: no limit
};

class RecordStore {
 public:
  enum class Access {
    kRead,    // the file must exist and be ours; nothing is written
    kRecord,  // created when missing, migrated when older; the writer lock is held
  };

  // Throws StoreError: kCannotOpen, kNotOurs, kNewerSchema, kReadOnly,
  // kLocked (another recorder, with its pid), kCorrupt, kFailed.
  RecordStore(const std::string& path, Access access);
  ~RecordStore();
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // ---- recorder only ----

  // Writes the entries in order in one transaction, then deletes what the
  // retention drops, at most entries.size() + kTrimStep records, so a store
  // far over its limit shrinks over several batches instead of stalling
  // one. Fills in nothing on failure: the whole batch is rolled back.
  // Returns the number of records deleted.
  static constexpr std::int64_t kTrimStep = 2'000;
  std::int64_t append(std::span<const Entry> entries,
                      remote::SystemClock::time_point now = remote::SystemClock::now());
  // One bounded retention step on its own, for a recorder that has nothing
  // to append (max-age keeps moving). Returns the number deleted.
  std::int64_t trim(remote::SystemClock::time_point now, std::int64_t atMost = kTrimStep);
  void setRetention(const Retention& retention) { keep = retention; }

  // ---- both ----

  // Records in the store (the recorder keeps count; a reader asks).
  std::int64_t recordCount();
  // The id of the newest committed entry; 0 when there has been none.
  std::int64_t lastId();

  sqlite::Database& database() { return db; }
  bool recording() const { return lockFile.get() >= 0; }

 private:
  struct Writer;  // the recorder's prepared statements

  void checkSchema(bool mayCreate);
  void prepareWriter();
  std::int64_t sourceId(const std::string& target, const codec::Uuid& uuid,
                        const std::string& application);
  // Records to add to (or, negative, take from) the counts table, by
  // source, component, client level and level name.
  using Counts = std::map<std::tuple<std::int64_t, std::string, int, std::string>, std::int64_t>;
  std::int64_t trimLocked(remote::SystemClock::time_point now, std::int64_t atMost);
  void addCounts(const Counts& counts);

  // Declared first: the lock is taken before the file is opened and let go
  // after it is closed.
  UniqueFd lockFile;  // recorder only: flock()ed FILE-lock
  sqlite::Database db;
  Retention keep;
  // Recorder only: the id counter, the record count and the sources cache.
  std::int64_t nextId = 1;
  std::int64_t records = 0;
  using SourceKey = std::tuple<std::string, codec::Uuid, std::string>;  // target, uuid, application
  std::map<SourceKey, std::int64_t> sources;
  std::vector<SourceKey> sourcesAdded;  // by the batch being appended
  // Recorder only; its connection closes before the writer's, which then
  // copies what is left of the log and removes it.
  std::unique_ptr<WalCheckpointer> checkpointer;
  std::unique_ptr<Writer> writer;  // last: finalized before the connection closes
};

}  // namespace store
