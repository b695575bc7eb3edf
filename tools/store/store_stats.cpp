// tools/store/store_stats.cpp
//
// The statistics of a store, one grouped statement per table of the
// answer: over the counts table when the filter names only targets,
// components and levels, else over the records, where each statement scans
// one index where it can (records_source, records_component,
// records_level).
//
// Threads: see store_stats.h.
#include "store/store_stats.h"

#include "store/sqlite_store.h"

#include <map>
#include <utility>

#include "store/sql_regexp.h"

namespace store {
namespace {

remote::SystemClock::time_point fromNs(std::int64_t ns) {
  return remote::SystemClock::time_point(
      std::chrono::duration_cast<remote::SystemClock::duration>(std::chrono::nanoseconds(ns)));
}

struct StatsStatements {
  StatsStatements(sqlite::Database& db, const Filter& f)
      : records(recordCondition(f, /*afterId=*/false, /*ftsJoined=*/false)),
        gapsOnly(gapCondition(f, /*afterId=*/false)),
        // Filters on target, component and level alone are answered from
        // the counts the recorder keeps (aliased r: the condition names
        // only those columns); time, regex and full text need the records.
        from(!f.sinceNs && !f.untilNs && f.regex.empty() && f.match.empty()
                 ? " FROM counts r WHERE "
                 : " FROM records r WHERE "),
        count(from == " FROM counts r WHERE " ? "sum(r.records)" : "count(*)"),
        perSource(db, "SELECT r.source, " + count + from + records.sql + " GROUP BY r.source",
                  false),
        perComponent(db,
                     "SELECT r.component, " + count + from + records.sql + " GROUP BY r.component",
                     false),
        perLevel(
            db,
            "SELECT r.client_level, r.level_name, " + count + from + records.sql +
                " GROUP BY r.client_level, r.level_name ORDER BY r.client_level DESC, r.level_name",
            false),
        // Two statements: SQLite answers a lone min() or max() from the
        // index's ends, not both at once.
        first(db, "SELECT min(r.received_ns) FROM records r WHERE " + records.sql, false),
        last(db, "SELECT max(r.received_ns) FROM records r WHERE " + records.sql, false),
        gaps(db,
             "SELECT g.source, count(*), sum(g.count) FROM gaps g WHERE " + gapsOnly.sql +
                 " GROUP BY g.source",
             false),
        sources(db, "SELECT id, target FROM sources", false) {
    for (sqlite::Statement* s : {&perSource, &perComponent, &perLevel, &first, &last})
      bind(*s, records);
    bind(gaps, gapsOnly);
  }

  static void bind(sqlite::Statement& s, const Condition& c) {
    int index = 1;
    for (const auto& p : c.parameters)
      std::visit([&](const auto& value) { s.bind(index++, value); }, p);
  }

  Condition records, gapsOnly;
  std::string from, count;
  sqlite::Statement perSource, perComponent, perLevel, first, last, gaps, sources;
};

void checkRegexp(const Filter& filter) { checkMatch(filter.regex); }

}  // namespace

Stats collectStats(SqliteStore& store, const Filter& filter) {
  try {
    checkRegexp(filter);
    sqlite::Transaction snapshot(store.database(), sqlite::Transaction::Kind::kDeferred);
    StatsStatements s(store.database(), filter);
    std::map<std::int64_t, std::string> targetOf;
    while (s.sources.step()) targetOf[s.sources.columnInt(0)] = s.sources.columnText(1);
    std::map<std::string, Stats::PerTarget> perTarget;  // several instances of a target add up
    Stats stats;
    while (s.perSource.step()) {
      Stats::PerTarget& t = perTarget[targetOf[s.perSource.columnInt(0)]];
      t.records += s.perSource.columnInt(1);
      stats.records += s.perSource.columnInt(1);
    }
    while (s.gaps.step()) {
      Stats::PerTarget& t = perTarget[targetOf[s.gaps.columnInt(0)]];
      t.gaps += s.gaps.columnInt(1);
      t.lost += s.gaps.columnInt(2);
      stats.gaps += s.gaps.columnInt(1);
      stats.lost += s.gaps.columnInt(2);
    }
    for (auto& [target, t] : perTarget) {
      t.target = target;
      stats.targets.push_back(std::move(t));
    }
    while (s.perComponent.step())
      stats.components.push_back({s.perComponent.columnText(0), s.perComponent.columnInt(1)});
    while (s.perLevel.step()) {
      stats.levels.push_back({static_cast<int>(s.perLevel.columnInt(0)), s.perLevel.columnText(1),
                              s.perLevel.columnInt(2)});
    }
    if (s.first.step() && !s.first.columnIsNull(0)) stats.first = fromNs(s.first.columnInt(0));
    if (s.last.step() && !s.last.columnIsNull(0)) stats.last = fromNs(s.last.columnInt(0));
    snapshot.commit();
    return stats;
  } catch (const sqlite::Error& e) {
    if (e.primaryCode() == 1) {  // SQLITE_ERROR: the query; its regex was checked before
      throw StoreError(
          filter.match.empty() ? StoreError::Kind::kBadRegex : StoreError::Kind::kBadMatch,
          e.what());
    }
    throw fromSqlite(e);
  }
}

std::string statsPlan(SqliteStore& store, const Filter& filter) {
  try {
    checkRegexp(filter);
    StatsStatements s(store.database(), filter);
    const std::pair<const char*, sqlite::Statement*> parts[] = {
        {"records per target", &s.perSource}, {"records per component", &s.perComponent},
        {"records per level", &s.perLevel},   {"first receive time", &s.first},
        {"last receive time", &s.last},       {"gaps per target", &s.gaps}};
    std::string plan;
    for (const auto& [name, statement] : parts)
      plan += std::string(name) + ":\n" + statement->queryPlan();
    return plan;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

}  // namespace store
