// tools/store/filter.h
//
// Which stored records a query or the statistics look at: time range,
// targets, components, levels, --grep/--exclude (record_match.h), a
// full-text query, and the SQL condition that selects them. `query` and a
// web console fill in a Filter from their own options; the SQLite engine's
// queries and statistics share its condition.
//
// Threads: plain values and pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/levels.h"
#include "model/record_match.h"

namespace store {

struct Filter {
  std::optional<std::int64_t> sinceNs{};  // receive time >= since (ns since the epoch)
  std::optional<std::int64_t> untilNs{};  // receive time < until
  std::vector<std::string> targets{};     // "address:port"; empty: every target
  std::vector<std::string> components{};  // empty: every component
  // At least this client level (higher is more severe), or exactly these;
  // both empty: every level. Like tail, a record whose mask names no single
  // level passes a minimum.
  std::optional<int> minClientLevel{};
  std::vector<int> clientLevels{};
  // --grep, --exclude and --ignore-case, as every front end means them.
  remote::MatchFlags regex{};
  std::string match{};       // FTS5 query over text, function, file and component
  int context = 0;           // records before and after each match, from its target
  std::int64_t limit = 0;    // matching records at most; 0: all
  bool reverse = false;      // newest first
  std::int64_t afterId = 0;  // only entries after this id (follow)
  bool gaps = true;          // show gaps of the selected targets in place
  // Only entries before this id (paging back); 0: no bound.
  std::int64_t beforeId = 0;
};

// An SQL condition on records `r` with its parameters in textual order.
struct Condition {
  std::string sql;  // "r.id > ? AND ..."; "1" when nothing is filtered
  std::vector<std::variant<std::int64_t, std::string>> parameters;
};

// The records `filter` selects, after its afterId when `afterId` is set
// (a query; the statistics count everything). With `ftsJoined`, the query
// joins records_fts itself and MATCH goes on it; otherwise matching ids
// come from a subquery.
Condition recordCondition(const Filter& filter, bool afterId, bool ftsJoined);
// The gaps it selects: same ids, times and targets (gaps have no content).
Condition gapCondition(const Filter& filter, bool afterId);

}  // namespace store
