// tools/store/clickhouse_query.h
//
// The journal view (store.h's Query) on a ClickHouse store: the server
// selects by time, target, component, level and --match, each event once
// and in order; --grep and --exclude are applied here with record_match.h
// (so a limit counts what they let through), and context groups are made
// here from the targets' rows. After its first run a query follows: see
// "Following" in clickhouse_store.h.
//
// Threads: a ClickHouseQuery belongs to the thread of its ClickHouseStore.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "model/record_match.h"
#include "store/clickhouse_rows.h"
#include "store/clickhouse_store.h"

namespace store {

class ClickHouseQuery final : public Query {
 public:
  // Throws StoreError kBadRegex for a regex that does not compile, and
  // kBadMatch for a full-text query it cannot read.
  ClickHouseQuery(ClickHouseStore& store, Filter filter);
  ~ClickHouseQuery() override;

  std::int64_t run(const std::function<bool(const Row&)>& visit) override;
  void resumeAfter(std::int64_t id) override;
  // The statement that finds the matches (18.16 has no EXPLAIN).
  std::string plan() override;

 private:
  // Where this run starts: rows after `afterId`, or inserted since
  // `lateFrom` (following), as a condition and its opposite.
  struct Span {
    std::string inside, outside;
  };
  std::optional<Span> window() const;
  // The rows of `condition`, each key once, in order, as they come.
  void fetch(const std::string& condition, bool reverse, const std::function<bool(ReadRow&)>& each);
  // Whether `row` passes what the server could not check, and is new.
  bool wanted(const ReadRow& row, const std::set<RowKey>& before) const;
  // The keys of `rows` that have a copy outside the window (shown or
  // passed over before).
  std::set<RowKey> copiesOutside(const std::vector<ReadRow>& rows, const Span& w);
  void runPlain(const std::function<bool(const Row&)>& visit);
  void runContext(const std::function<bool(const Row&)>& visit);

  ClickHouseStore& store;
  Filter filter;
  std::unique_ptr<remote::RecordMatch> regex;  // null: no --grep or --exclude
  bool following = false;                      // resumeAfter() came
  std::int64_t cursor = 0;                     // following: after this id
  std::uint32_t lateFrom = 0;                  // following: or inserted since (server seconds)
  std::uint32_t nextLateFrom = 0;              // from the last run
  std::int64_t newestSeen = 0;                 // the newest id at the last run's start
  // Following: the rows shown that the next look may see again.
  std::map<RowKey, std::pair<std::uint32_t, std::int64_t>> shown;  // inserted, id
};

}  // namespace store
