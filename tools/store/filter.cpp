// tools/store/filter.cpp
//
// The SQL conditions of a Filter. Values always travel as parameters,
// except client levels, which are numbers we made ourselves.
//
// Threads: see filter.h.
#include "store/filter.h"

#include <algorithm>

#include "store/sql_regexp.h"
#include "store/store.h"

namespace store {
namespace {

void add(Condition& c, const std::string& sql) {
  if (!c.sql.empty()) c.sql += " AND ";
  c.sql += sql;
}

std::string placeholders(std::size_t n) {
  std::string list;
  for (std::size_t i = 0; i < n; ++i) list += i ? ",?" : "?";
  return list;
}

void addCommon(Condition& c, const Filter& f, bool afterId, const char* table,
               const char* timeColumn) {
  const std::string t = table;
  if (afterId) {
    add(c, t + ".id > ?");
    c.parameters.emplace_back(f.afterId);
  }
  if (f.beforeId > 0) {
    add(c, t + ".id < ?");
    c.parameters.emplace_back(f.beforeId);
  }
  if (f.sinceNs) {
    add(c, t + "." + timeColumn + " >= ?");
    c.parameters.emplace_back(*f.sinceNs);
  }
  if (f.untilNs) {
    add(c, t + "." + timeColumn + " < ?");
    c.parameters.emplace_back(*f.untilNs);
  }
  if (!f.targets.empty()) {
    add(c, t + ".source IN (SELECT id FROM sources WHERE target IN (" +
               placeholders(f.targets.size()) + "))");
    for (const std::string& target : f.targets) c.parameters.emplace_back(target);
  }
}

}  // namespace

Condition recordCondition(const Filter& f, bool afterId, bool ftsJoined) {
  Condition c;
  addCommon(c, f, afterId, "r", "received_ns");
  if (!f.components.empty()) {
    add(c, "r.component IN (" + placeholders(f.components.size()) + ")");
    for (const std::string& component : f.components) c.parameters.emplace_back(component);
  }
  // A minimum becomes the list of levels it admits: an IN list keeps the
  // (component, client_level) index usable where a range OR -1 would not.
  std::vector<int> levels = f.clientLevels;
  if (f.minClientLevel) {
    levels.clear();
    levels.push_back(-1);
    for (int level = std::max(*f.minClientLevel, 0); level <= 31; ++level) {
      if (f.clientLevels.empty() ||
          std::find(f.clientLevels.begin(), f.clientLevels.end(), level) != f.clientLevels.end()) {
        levels.push_back(level);
      }
    }
  }
  if (f.minClientLevel || !f.clientLevels.empty()) {
    std::string list;
    for (int level : levels) {
      if (!list.empty()) list += ',';
      list += std::to_string(level);
    }
    add(c, "r.client_level IN (" + (list.empty() ? std::string("NULL") : list) + ")");
  }
  if (!f.regex.empty()) {
    add(c, "record_match(?, r.text, r.function, r.file)");
    c.parameters.emplace_back(matchArgument(f.regex));
  }
  if (!f.match.empty()) {
    add(c, ftsJoined ? "records_fts MATCH ?"
                     : "r.id IN (SELECT rowid FROM records_fts WHERE records_fts MATCH ?)");
    c.parameters.emplace_back(f.match);
  }
  if (c.sql.empty()) c.sql.push_back('1');  // every row
  return c;
}

Condition gapCondition(const Filter& f, bool afterId) {
  Condition c;
  addCommon(c, f, afterId, "g", "seen_ns");
  if (c.sql.empty()) c.sql.push_back('1');  // every row
  return c;
}

}  // namespace store
