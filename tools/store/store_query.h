// tools/store/store_query.h
//
// The journal view of a record store: the records a Filter selects, oldest
// first (or newest first), with the gaps of their targets in place, and,
// with context N, the N records before and after each match from the same
// target, in groups as grep -C prints them. The same Query runs again and
// again for --follow and shows only what came since its last run.
//
// Context groups: each match takes the N records of its target before and
// after it (whatever the other filters say about them); the windows of one
// target that overlap or touch become one group; groups come in the order
// of their first match, and the limit counts matches.
//
// Threads: a Query belongs to the thread of its RecordStore.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "store/filter.h"
#include "store/record_store.h"

namespace store {

struct Row {
  Entry entry;
  bool contextOnly = false;      // shown around a match, not one itself
  bool separatorBefore = false;  // starts a context group after another ("--")

  std::int64_t id() const {
    return std::visit([](const auto& e) { return e.id; }, entry);
  }
};

class Query {
 public:
  // Throws StoreError kBadRegex for a regex that does not compile (the
  // regex engine's message); a full-text query SQLite cannot parse fails
  // with kBadMatch on the first run().
  Query(RecordStore& store, Filter filter);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  // Visits the rows among what is committed now, in order, until `visit`
  // returns false. Returns the id of the newest entry in the store at that
  // moment, matching or not.
  std::int64_t run(const std::function<bool(const Row&)>& visit);
  // The next run() shows only entries after `id`: pass what run() returned.
  void resumeAfter(std::int64_t id) { filter.afterId = id; }

  // EXPLAIN QUERY PLAN of the statement that finds the matches.
  std::string plan();

 private:
  struct Statements;

  std::int64_t highWater();
  void runPlain(const std::function<bool(const Row&)>& visit);
  void runContext(const std::function<bool(const Row&)>& visit);
  void bindMain();
  void resetAll();

  RecordStore& store;
  Filter filter;
  std::unique_ptr<Statements> statements;
};

}  // namespace store
