// tools/store/clickhouse_filter.cpp
//
// A Filter's conditions in ClickHouse's SQL. See clickhouse_filter.h.
//
// Threads: pure functions.
#include "store/clickhouse_filter.h"

#include <algorithm>

#include "store/clickhouse_http.h"
#include "store/clickhouse_match.h"
#include "store/clickhouse_rows.h"

namespace store::clickhouse {
namespace {

void add(std::string& condition, const std::string& sql) {
  if (!condition.empty()) condition += " AND ";
  condition += sql;
}

std::string anyOf(const std::vector<std::string>& values) {
  std::string list;
  for (const std::string& v : values) list += (list.empty() ? "" : ", ") + quoted(v);
  return "(" + list + ")";
}

}  // namespace

std::string commonCondition(const Filter& f) {
  std::string c;
  if (f.beforeId > 0) add(c, "id < " + std::to_string(f.beforeId));
  if (f.sinceNs) add(c, "received_ns >= " + std::to_string(*f.sinceNs));
  if (f.untilNs) add(c, "received_ns < " + std::to_string(*f.untilNs));
  if (!f.targets.empty()) add(c, "target IN " + anyOf(f.targets));
  return c.empty() ? "1" : c;
}

std::string recordCondition(const Filter& f) {
  std::string c;
  if (!f.components.empty()) add(c, "component IN " + anyOf(f.components));
  // The same levels SQLite's condition admits: a minimum takes the records
  // whose mask names no single level too.
  if (f.minClientLevel || !f.clientLevels.empty()) {
    std::vector<int> levels = f.clientLevels;
    if (f.minClientLevel) {
      levels = {-1};
      for (int level = std::max(*f.minClientLevel, 0); level <= 31; ++level) {
        if (f.clientLevels.empty() ||
            std::find(f.clientLevels.begin(), f.clientLevels.end(), level) != f.clientLevels.end())
          levels.push_back(level);
      }
    }
    std::string list;
    for (int level : levels) list += (list.empty() ? "" : ", ") + std::to_string(level);
    add(c, list.empty() ? "0" : "client_level IN (" + list + ")");
  }
  if (!f.match.empty()) add(c, matchCondition(f.match));
  return c.empty() ? "1" : c;
}

std::string selection(const Filter& f, bool gaps) {
  const std::string records =
      "kind = " + std::to_string(kRecordKind) + " AND " + recordCondition(f);
  return commonCondition(f) + " AND (" + records +
         (gaps ? " OR kind = " + std::to_string(kGapKind) : "") + ")";
}

std::string orderedRows(const std::string& table, const std::string& condition, bool reverse) {
  const std::string first = std::string("SELECT ") + kReadColumns + " FROM " + table + " WHERE " +
                            condition + " ORDER BY id, target, uuid, kind, sequence LIMIT 1 BY " +
                            kKeyColumns;
  if (!reverse) return first;
  return "SELECT * FROM (" + first +
         ") ORDER BY id DESC, target DESC, uuid DESC, kind DESC, sequence DESC";
}

}  // namespace store::clickhouse
