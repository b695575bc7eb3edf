// tools/store/store.h
//
// A store of records and gaps, as the recorder, query and the console use
// it without knowing which engine keeps it: one recorder appends batches
// and applies retention; readers run journal queries (the records a Filter
// selects, with their targets' gaps in place and context around matches),
// statistics, and the names the store has seen. openStore() picks the
// engine from how the store is named: a SQLite file (sqlite_store.h) or a
// clickhouse:// or clickhouses:// URL (clickhouse_store.h).
//
// Entries are ordered by id, so "in place" is "ordered by id", and a
// follower resumes after the last id it saw (on ClickHouse, the query
// also looks back for batches that landed late).
//
// Threads: a Store and the queries made on it belong to one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model/levels.h"
#include "store/audit.h"
#include "store/entry.h"
#include "store/filter.h"
#include "store/known_records.h"
#include "store/stats.h"
#include "store/store_error.h"

namespace store {

// One row of a journal query.
struct Row {
  Entry entry;
  bool contextOnly = false;      // shown around a match, not one itself
  bool separatorBefore = false;  // starts a context group after another ("--")

  std::int64_t id() const {
    return std::visit([](const auto& e) { return e.id; }, entry);
  }
};

// The journal view of a store: the records a Filter selects, oldest first
// (or newest first), with the gaps of their targets in place, and, with
// context N, the N records before and after each match from the same
// target, in groups as grep -C prints them. The same Query runs again and
// again for --follow and shows only what came since its last run.
//
// Context groups: each match takes the N records of its target before and
// after it (whatever the other filters say about them); the windows of one
// target that overlap or touch become one group; groups come in the order
// of their first match, and the limit counts matches.
class Query {
 public:
  virtual ~Query() = default;
  // Visits the rows among what is committed now, in order, until `visit`
  // returns false. Returns the id of the newest entry in the store at that
  // moment, matching or not. Throws StoreError (kBadMatch for a full-text
  // query the engine cannot parse).
  virtual std::int64_t run(const std::function<bool(const Row&)>& visit) = 0;
  // The next run() shows only entries after `id`: pass what run() returned.
  virtual void resumeAfter(std::int64_t id) = 0;
  // How the engine finds the matches, for --explain.
  virtual std::string plan() = 0;
};

// A target as the store has seen it: its newest instance, what it holds of
// it, and the components it logged in. A console that follows nothing
// shows these.
struct SeenTarget {
  std::string target;  // "address:port"
  std::string application;
  std::string uuid;                              // hex, of the newest instance
  remote::SystemClock::time_point lastRecord{};  // received; epoch when none
  std::int64_t records = 0;                      // of every instance
  std::int64_t gaps = 0;
  std::int64_t lost = 0;
  std::vector<std::string> components;  // sorted
};

enum class Access {
  kRead,    // the store must exist and be ours; nothing is written
  kRecord,  // created when missing, migrated when older; one recorder at a time
  // Audit rows only, beside a recorder that may hold the store: created
  // when missing, migrated when older, no recorder's lock taken.
  kAudit,
};

// How a recorder batches its appends to one engine: a batch goes to
// append() once it holds `rows` entries or its first entry has waited
// `wait`, whichever comes first. An embedded file commits often so that a
// killed recorder loses little; a server wants fewer, bigger inserts.
struct WritePolicy {
  std::size_t rows = 10'000;
  std::chrono::milliseconds wait{100};
  // append() may throw kUnavailable for a while (a server): the recorder
  // keeps the batches on local disk meanwhile rather than ending.
  bool mayBeUnavailable = false;
};

class Store {
 public:
  virtual ~Store() = default;

  // ---- recorder only ----

  // How this engine wants its appends batched; what an embedded file wants
  // unless the engine says otherwise. Any thread, before the recorder's
  // first append.
  virtual WritePolicy writePolicy() const { return {}; }

  // Writes the entries in order, all or none, then deletes a bounded step
  // of what the retention drops. Returns the number of records deleted.
  virtual std::int64_t append(std::span<const Entry> entries,
                              remote::SystemClock::time_point now) = 0;
  std::int64_t append(std::span<const Entry> entries) {
    return append(entries, remote::SystemClock::now());
  }
  // One bounded retention step on its own, for a recorder that has nothing
  // to append (max-age keeps moving). Returns the number deleted.
  virtual std::int64_t trim(remote::SystemClock::time_point now) = 0;
  virtual void setRetention(const Retention& retention) = 0;
  // What the store already holds of the target instances `entries` name,
  // so that an import stores nothing twice.
  virtual KnownRecords known(std::span<const Entry> entries) = 0;

  // ---- recorder or audit writer ----

  // Appends one audit row; waits a few seconds for another writer's
  // transaction. Throws StoreError (kReadOnly for a reader).
  virtual void appendAudit(const AuditRow& row) = 0;

  // ---- all ----

  // The audit rows `filter` selects, oldest first.
  virtual std::vector<AuditRow> audit(const AuditFilter& filter) = 0;

  // Records in the store (the recorder keeps count; a reader asks).
  virtual std::int64_t recordCount() = 0;
  // The id of the newest committed entry; 0 when there has been none.
  virtual std::int64_t lastId() = 0;
  virtual bool recording() const = 0;

  // Throws StoreError kBadRegex for a regex that does not compile.
  virtual std::unique_ptr<Query> query(Filter filter) = 0;
  virtual Stats stats(const Filter& filter) = 0;
  virtual std::string statsPlan(const Filter& filter) = 0;
  // The level names the store has seen, per client level, for turning a
  // user's level name into a client level (remote::lookupClientLevel).
  virtual remote::Levels levels() = 0;
  // Every target ("address:port") the store has records or gaps of, sorted.
  virtual std::vector<std::string> targets() = 0;
  // Every component the store holds records of, sorted.
  virtual std::vector<std::string> components() = 0;
  // Every target the store has records or gaps of, sorted by target.
  virtual std::vector<SeenTarget> seenTargets() = 0;
};

// The store named `location`: a SQLite file's path, or
// clickhouse[s]://[USER@]HOST[:PORT]/DATABASE[?table=NAME], whose password
// is read from the file setPasswordFile() named or else from
// TARVIN_DB_PASSWORD. Throws StoreError: kCannotOpen, kNotOurs,
// kNewerSchema, kReadOnly, kLocked (another recorder, with its pid),
// kCorrupt, kUnavailable (a server that does not answer), kFailed.
std::unique_ptr<Store> openStore(const std::string& location, Access access);

// Where every later openStore() of this process reads a store server's
// password from (--db-password-file); empty: the environment. Call before
// any store is opened, from the main thread.
void setPasswordFile(const std::string& path);

// The targets a user's list names: "address:port" as given, and a host
// alone every stored target on it (or itself when there is none, so that
// it matches nothing, as asked).
std::vector<std::string> targetsNamed(Store& store, const std::vector<std::string>& asked);

}  // namespace store
