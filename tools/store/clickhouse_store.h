// tools/store/clickhouse_store.h
//
// The store on a ClickHouse server: one table of records and gaps and one
// of audit rows (clickhouse_schema.h), written by relays (record) over
// HTTP and read by query and the console from anywhere.
//
// Ids. The server has no counter, and many relays write one table. A
// relay numbers the entries of a batch from its wall clock in
// microseconds (never below its last id + 1), one after another, so ids
// follow the order each relay appended in (the order SQLite gives the
// same input) and relays interleave by time. Two relays may, rarely, hand
// out the same id; rows are ordered by id, then target, uuid, kind and
// sequence number, which is total and the same for every reader.
//
// Stored once. ClickHouse 18.16 has no insert deduplication token, and a
// batch may reach the server twice: the answer to an INSERT that went in
// was lost, or a relay killed mid-insert sends its spool again. A row's
// key is what it is, not when it was sent: kind, target, uuid, sequence
// number and receive time, identical in every copy (and two records of
// one target instance never share a number and a receive time). Readers
// keep the first row of each key (lowest id): `ORDER BY id ... LIMIT 1 BY
// key`. A reader that starts after an id (a follower, a page) also drops
// rows whose key has a copy before where it starts, looked up among the
// rows with the same receive times only.
//
// Following. A batch may land late: after batches of other relays with
// higher ids, or from a spool minutes later. Each row carries the
// server's time of its insert (`inserted`); a follower asks for rows after
// the last id it saw OR inserted in the last kOverlapSeconds before its
// previous look, and leaves out the keys it has shown, so a late batch is
// shown once, however late. One that starts after an id (the newest N,
// then what comes) passes over the rows before that id that its next look
// back would see.
//
// Threads: a ClickHouseStore and the queries made on it belong to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "store/clickhouse_http.h"
#include "store/clickhouse_schema.h"
#include "store/store.h"

namespace store {

class ClickHouseStore final : public Store {
 public:
  // An insert may take this long to become visible after the server
  // stamped its rows; a follower looks back this far.
  static constexpr std::uint32_t kOverlapSeconds = 10;

  // Throws StoreError: kCannotOpen (a name it cannot read, wrong
  // credentials, no such database), kUnavailable (no answer), kNotOurs (a
  // table of another shape; a reader finding no table), kFailed. A
  // recorder whose server does not answer yet is made all the same: it
  // checks and prepares the store at its first append() or known(), which
  // throw what the constructor would have.
  ClickHouseStore(const std::string& name, Access access, const std::string& passwordFile);
  ~ClickHouseStore() override;

  // ---- recorder only ----

  // One INSERT of all the entries in RowBinary: all or none. Throws
  // kUnavailable when the server cannot take it now: the same entries may
  // be appended again, and readers show them once. Then drops the day
  // partitions max-age has left behind. Returns the records dropped.
  using Store::append;
  std::int64_t append(std::span<const Entry> entries, remote::SystemClock::time_point now) override;
  std::int64_t trim(remote::SystemClock::time_point now) override;
  // Throws kFailed for a maximum number of records: the server keeps by age.
  void setRetention(const Retention& retention) override;
  KnownRecords known(std::span<const Entry> entries) override;

  // ---- recorder or audit writer ----

  void appendAudit(const AuditRow& row) override;

  // ---- all ----

  std::vector<AuditRow> audit(const AuditFilter& filter) override;
  std::int64_t recordCount() override;
  std::int64_t lastId() override;
  bool recording() const override { return access == Access::kRecord; }
  std::unique_ptr<Query> query(Filter filter) override;
  Stats stats(const Filter& filter) override;
  std::string statsPlan(const Filter& filter) override;
  remote::Levels levels() override;
  std::vector<std::string> targets() override;
  std::vector<std::string> components() override;
  std::vector<SeenTarget> seenTargets() override;
  // Few, big inserts, and a server that may be away for a while: the
  // relay spools meanwhile.
  WritePolicy writePolicy() const override {
    return {10'000, std::chrono::seconds(1), /*mayBeUnavailable=*/true};
  }

  ClickHouseConnection& connection() { return server; }
  const std::string& table() const { return server.location().table; }

 private:
  // Checks the server and the tables, making them for a recorder.
  void prepare();
  std::vector<std::string> textColumn(const std::string& sql);

  ClickHouseConnection server;
  Access access;
  ServerVersion version;
  bool distributed = false;  // the table is Distributed over shards
  Retention keep;
  bool prepared = false;       // the server answered and the tables are there
  std::int64_t nextId = 1;     // recorder: the id the next entry takes at least
  std::int64_t records = 0;    // recorder: records in the store
  std::int64_t nextAudit = 1;  // the id the next audit row takes at least
};

}  // namespace store
