// tools/store/sqlite_query.h
//
// The journal view (store.h's Query) on the SQLite engine: one statement
// finds the matches, others put gaps and context around them.
//
// Threads: a SqliteQuery belongs to the thread of its SqliteStore.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "store/filter.h"
#include "store/sqlite_store.h"

namespace store {

class SqliteQuery final : public Query {
 public:
  // Throws StoreError kBadRegex for a regex that does not compile (the
  // with kBadMatch on the first run().
  // the same way on the first run().
  SqliteQuery(SqliteStore& store, Filter filter);
  ~SqliteQuery() override;
  SqliteQuery(const SqliteQuery&) = delete;
  SqliteQuery& operator=(const SqliteQuery&) = delete;

  std::int64_t run(const std::function<bool(const Row&)>& visit) override;
  void resumeAfter(std::int64_t id) override { filter.afterId = id; }
  // EXPLAIN QUERY PLAN of the statement that finds the matches.
  std::string plan() override;

 private:
  struct Statements;

  std::int64_t highWater();
  void runPlain(const std::function<bool(const Row&)>& visit);
  void runContext(const std::function<bool(const Row&)>& visit);
  void bindMain();
  void resetAll();

  SqliteStore& store;
  Filter filter;
  std::unique_ptr<Statements> statements;
};

}  // namespace store
