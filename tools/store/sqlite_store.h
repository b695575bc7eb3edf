// tools/store/sqlite_store.h
//
// The store on SQLite: one file holding every log record a recorder
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
// lock and see committed batches only (WAL mode). An audit writer
// (Access::kAudit) takes no lock either: it appends to the audit table
// alone, in transactions of its own that SQLite orders with the
// recorder's, each waiting out the other's for up to five seconds.
//
// Threads: a SqliteStore and the queries made on it belong to one thread;
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
#include "store/store.h"
#include "store/store_error.h"
#include "store/wal_checkpointer.h"

namespace store {

inline constexpr int kSchemaVersion = 2;

class SqliteStore final : public Store {
 public:
  // Throws StoreError: kCannotOpen, kNotOurs, kNewerSchema, kReadOnly,
  // kLocked (another recorder, with its pid), kCorrupt, kFailed. kRecord
  // holds the writer lock.
  SqliteStore(const std::string& path, Access access);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  // ---- recorder only ----

  // Writes the entries in order in one transaction, then deletes what the
  // retention drops, at most entries.size() + kTrimStep records, so a store
  // far over its limit shrinks over several batches instead of stalling
  // one. Fills in nothing on failure: the whole batch is rolled back.
  // Returns the number of records deleted.
  static constexpr std::int64_t kTrimStep = 2'000;
  using Store::append;
  std::int64_t append(std::span<const Entry> entries, remote::SystemClock::time_point now) override;
  std::int64_t trim(remote::SystemClock::time_point now) override { return trim(now, kTrimStep); }
  // A retention step of at most `atMost` records.
  std::int64_t trim(remote::SystemClock::time_point now, std::int64_t atMost);
  void setRetention(const Retention& retention) override { keep = retention; }
  KnownRecords known(std::span<const Entry> entries) override;

  // ---- recorder or audit writer ----

  void appendAudit(const AuditRow& row) override;

  // ---- all ----

  std::vector<AuditRow> audit(const AuditFilter& filter) override;
  std::int64_t recordCount() override;
  std::int64_t lastId() override;
  bool recording() const override { return lockFile.get() >= 0; }
  std::unique_ptr<Query> query(Filter filter) override;
  Stats stats(const Filter& filter) override;
  std::string statsPlan(const Filter& filter) override;
  remote::Levels levels() override;
  std::vector<std::string> targets() override;
  std::vector<std::string> components() override;
  std::vector<SeenTarget> seenTargets() override;

  sqlite::Database& database() { return db; }

 private:
  struct Writer;  // the recorder's prepared statements

  void checkSchema(bool mayCreate);
  // The first column of each row `sql` gives, as text.
  std::vector<std::string> textColumn(const char* sql);
  void prepareWriter();
  std::int64_t sourceId(const std::string& target, const codec::Uuid& uuid,
                        const std::string& application);
  // Records to add to (or, negative, take from) the counts table, by
  // source, component, client level and level name.
  using Counts = std::map<std::tuple<std::int64_t, std::string, int, std::string>, std::int64_t>;
  // One row of a batch, in its transaction; a record adds to `counted`.
  void insertRecord(std::int64_t id, const StoredRecord& stored, Counts& counted);
  void insertGap(std::int64_t id, const StoredGap& gap);
  std::int64_t trimLocked(remote::SystemClock::time_point now, std::int64_t atMost);
  void addCounts(const Counts& counts);

  // Declared first: the lock is taken before the file is opened and let go
  // after it is closed.
  UniqueFd lockFile;  // recorder only: flock()ed FILE-lock
  sqlite::Database db;
  Retention keep;
  bool auditing = false;  // opened to write: as recorder or audit writer
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
