// tools/store/sqlite_query.cpp
//
// Query: the statements behind the journal view, prepared once per Query
// and run inside one read transaction per run(), so records, gaps and
// context all come from the same committed state.
//
// Threads: see sqlite_query.h.
#include "store/sqlite_query.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "store/context_windows.h"
#include "store/sql_regexp.h"

namespace store {
namespace {

using Kind = StoreError::Kind;

constexpr const char* kRecordColumns =
    "r.id, r.received_ns, s.target, s.uuid, s.application, r.sequence, r.client_mask, "
    "r.level_name, "
    "r.pid, r.tid, r.tick, r.line, r.component, r.file, r.function, r.text";
constexpr const char* kGapColumns =
    "g.id, g.seen_ns, s.target, s.uuid, s.application, g.first, g.count";
constexpr const char* kOfTarget = "source IN (SELECT id FROM sources WHERE target = ?1)";

remote::SystemClock::time_point fromNs(std::int64_t ns) {
  return remote::SystemClock::time_point(
      std::chrono::duration_cast<remote::SystemClock::duration>(std::chrono::nanoseconds(ns)));
}

codec::Uuid uuidAt(const sqlite::Statement& s, int column) {
  codec::Uuid uuid{};
  const auto blob = s.columnBlob(column);
  std::copy_n(blob.begin(), std::min(blob.size(), uuid.size()), uuid.begin());
  return uuid;
}

StoredRecord readRecord(const sqlite::Statement& s) {
  StoredRecord stored;
  stored.id = s.columnInt(0);
  remote::ArrivedRecord& a = stored.arrived;
  a.receivedAt = fromNs(s.columnInt(1));
  a.source = s.columnText(2);
  a.record.uuid = uuidAt(s, 3);
  stored.applicationName = s.columnText(4);
  a.record.sequence = static_cast<std::uint32_t>(s.columnInt(5));
  a.record.clientMask = static_cast<std::uint32_t>(s.columnInt(6));
  stored.levelName = s.columnText(7);
  for (int i = 0; i < 4; ++i) {
    // The tick is kept as the unsigned number it stands for; all four go
    // back to the 32-bit two's complement they came as.
    a.record.integers[static_cast<std::size_t>(i)] =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(s.columnInt(8 + i)));
    a.record.strings[static_cast<std::size_t>(i)] = s.columnText(12 + i);
  }
  return stored;
}

StoredGap readGap(const sqlite::Statement& s) {
  StoredGap gap;
  gap.id = s.columnInt(0);
  gap.seenAt = fromNs(s.columnInt(1));
  gap.target = s.columnText(2);
  gap.uuid = uuidAt(s, 3);
  gap.applicationName = s.columnText(4);
  gap.gap.first = static_cast<std::uint32_t>(s.columnInt(5));
  gap.gap.count = static_cast<std::uint32_t>(s.columnInt(6));
  return gap;
}

void bindCondition(sqlite::Statement& s, const Condition& c, int& index) {
  for (const auto& p : c.parameters) {
    std::visit([&](const auto& value) { s.bind(index++, value); }, p);
  }
}

// Steps a record statement and a gap statement (may be absent) in one
// order of ids. With `matches`, rows are context rows unless listed there.
bool merge(sqlite::Statement& records, sqlite::Statement* gaps, bool reverse,
           const std::set<std::int64_t>* matches, bool& separator,
           const std::function<bool(const Row&)>& visit) {
  bool haveRecord = records.step();
  bool haveGap = gaps && gaps->step();
  while (haveRecord || haveGap) {
    bool takeGap = !haveRecord;
    if (haveRecord && haveGap) {
      const std::int64_t g = gaps->columnInt(0), r = records.columnInt(0);
      takeGap = reverse ? g > r : g < r;
    }
    Row row;
    if (takeGap) {
      row.entry = readGap(*gaps);
      row.contextOnly = matches != nullptr;
    } else {
      row.entry = readRecord(records);
      row.contextOnly = matches != nullptr && !matches->contains(row.id());
    }
    row.separatorBefore = std::exchange(separator, false);
    if (!visit(row)) return false;
    haveGap = takeGap ? gaps->step() : haveGap;
    haveRecord = takeGap ? haveRecord : records.step();
  }
  return true;
}

}  // namespace

struct SqliteQuery::Statements {
  std::optional<sqlite::Statement> main;  // records (plain) or match ids (context)
  std::optional<sqlite::Statement> gaps;
  sqlite::Statement lastId;
  // Context only.
  std::optional<sqlite::Statement> older, newer, groupRecords, groupGaps;
};

SqliteQuery::SqliteQuery(SqliteStore& store, Filter f) : store(store), filter(std::move(f)) {
  checkMatch(filter.regex);
  try {
    sqlite::Database& db = store.database();
    statements.reset(
        new Statements{std::nullopt, std::nullopt,
                       sqlite::Statement(db, "SELECT value FROM meta WHERE key = 'last_id'"),
                       std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    const std::string direction = filter.reverse ? " DESC" : "";
    const std::string columns = filter.context > 0 ? "r.id, s.target" : kRecordColumns;
    const std::string condition =
        recordCondition(filter, /*afterId=*/true, !filter.match.empty()).sql;
    // CROSS JOIN keeps the written order of the loops: the rows that decide
    // outside, the target's name looked up last.
    std::string sql;
    if (!filter.match.empty()) {
      // The full-text index drives: FTS5 hands out rowids in order, so the
      // first rows come without reading every match.
      sql = "SELECT " + columns +
            " FROM records_fts CROSS JOIN records r ON r.id = records_fts.rowid"
            " CROSS JOIN sources s ON s.id = r.source WHERE " +
            condition + " ORDER BY records_fts.rowid" + direction +
            (filter.limit > 0 ? " LIMIT ?" : "");
    } else if (filter.limit > 0) {
      // The first ids come from an index alone (component and level,
      // target, time), sorted as bare numbers; only those rows are read.
      sql = "SELECT " + columns +
            " FROM records r CROSS JOIN sources s ON s.id = r.source WHERE r.id IN " +
            "(SELECT r.id FROM records r WHERE " + condition + " ORDER BY r.id" + direction +
            " LIMIT ?)" + " ORDER BY r.id" + direction;
    } else {
      sql = "SELECT " + columns + " FROM records r CROSS JOIN sources s ON s.id = r.source WHERE " +
            condition + " ORDER BY r.id" + direction;
    }
    statements->main.emplace(db, sql);
    if (filter.gaps) {
      statements->gaps.emplace(db, std::string("SELECT ") + kGapColumns +
                                       " FROM gaps g JOIN sources s ON s.id = g.source WHERE " +
                                       gapCondition(filter, /*afterId=*/true).sql +
                                       " ORDER BY g.id" + direction);
    }
    if (filter.context > 0) {
      statements->older.emplace(db, std::string("SELECT id FROM records WHERE ") + kOfTarget +
                                        " AND id < ?2 ORDER BY id DESC LIMIT ?3");
      statements->newer.emplace(db, std::string("SELECT id FROM records WHERE ") + kOfTarget +
                                        " AND id > ?2 ORDER BY id LIMIT ?3");
      statements->groupRecords.emplace(
          db, std::string("SELECT ") + kRecordColumns +
                  " FROM records r JOIN sources s ON s.id = r.source WHERE r." + kOfTarget +
                  " AND r.id BETWEEN ?2 AND ?3 ORDER BY r.id" + direction);
      statements->groupGaps.emplace(
          db, std::string("SELECT ") + kGapColumns +
                  " FROM gaps g JOIN sources s ON s.id = g.source WHERE g." + kOfTarget +
                  " AND g.id > ?2 AND g.id < ?3 ORDER BY g.id" + direction);
    }
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

SqliteQuery::~SqliteQuery() = default;

std::int64_t SqliteQuery::highWater() {
  sqlite::Statement& s = statements->lastId;
  s.reset();
  const std::int64_t high = s.step() ? s.columnInt(0) : 0;
  s.reset();
  return high;
}

void SqliteQuery::bindMain() {
  sqlite::Statement& main = *statements->main;
  main.reset();
  int index = 1;
  bindCondition(main, recordCondition(filter, /*afterId=*/true, !filter.match.empty()), index);
  if (filter.limit > 0) main.bind(index, filter.limit);
  if (statements->gaps) {
    statements->gaps->reset();
    index = 1;
    bindCondition(*statements->gaps, gapCondition(filter, /*afterId=*/true), index);
  }
}

std::int64_t SqliteQuery::run(const std::function<bool(const Row&)>& visit) {
  try {
    sqlite::Transaction snapshot(store.database(), sqlite::Transaction::Kind::kDeferred);
    // Every statement of this run reads the same snapshot; the newest id in
    // it is where the next run resumes.
    const std::int64_t high = highWater();
    bindMain();
    if (filter.context > 0) {
      runContext(visit);
    } else {
      runPlain(visit);
    }
    // A statement left mid-way would hold this snapshot open past COMMIT,
    // and the next run (--follow) would never see a newer one.
    resetAll();
    snapshot.commit();
    return high;
  } catch (const sqlite::Error& e) {
    resetAll();
    // SQLITE_ERROR while stepping is the query itself: the full-text
    // syntax, or a pattern the regex engine refused (checked before, so
    // only where no full-text query is given).
    if (e.primaryCode() == SQLITE_ERROR)
      throw StoreError(filter.match.empty() ? Kind::kBadRegex : Kind::kBadMatch, e.what());
    throw fromSqlite(e);
  } catch (...) {
    resetAll();  // the visitor failed: the next run still starts afresh
    throw;
  }
}

void SqliteQuery::resetAll() {
  Statements& s = *statements;
  for (auto* statement : {&s.main, &s.gaps, &s.older, &s.newer, &s.groupRecords, &s.groupGaps}) {
    if (*statement) (*statement)->reset();
  }
  s.lastId.reset();
}

void SqliteQuery::runPlain(const std::function<bool(const Row&)>& visit) {
  std::int64_t shown = 0;
  bool separator = false;
  sqlite::Statement* gaps = statements->gaps ? &*statements->gaps : nullptr;
  merge(*statements->main, gaps, filter.reverse, nullptr, separator, [&](const Row& row) {
    // Gaps after the last record a limit let through stand before records
    // that are not shown.
    if (filter.limit > 0 && shown >= filter.limit) return false;
    if (std::holds_alternative<StoredRecord>(row.entry)) ++shown;
    return visit(row);
  });
}

namespace {

// A match's window, from the N+1 neighbours on each side: the N-th is the
// window's edge, the one beyond tells whether the next window touches.
Window windowAround(std::int64_t id, const std::string& target, std::int64_t n,
                    sqlite::Statement& older, sqlite::Statement& newer) {
  Window w{target, 0, id, id, std::nullopt, id, {id}};
  older.reset();
  older.bind(1, target).bind(2, id).bind(3, n + 1);
  for (std::int64_t k = 1; older.step(); ++k) (k <= n ? w.lo : w.below) = older.columnInt(0);
  newer.reset();
  newer.bind(1, target).bind(2, id).bind(3, n + 1);
  for (std::int64_t k = 1; newer.step(); ++k) {
    if (k <= n)
      w.hi = newer.columnInt(0);
    else
      w.above = newer.columnInt(0);
  }
  return w;
}

}  // namespace

void SqliteQuery::runContext(const std::function<bool(const Row&)>& visit) {
  std::vector<std::pair<std::int64_t, std::string>> found;
  for (sqlite::Statement& main = *statements->main; main.step();)
    found.emplace_back(main.columnInt(0), main.columnText(1));
  std::map<std::string, std::vector<Window>> byTarget;
  for (const auto& [id, target] : found) {
    byTarget[target].push_back(
        windowAround(id, target, filter.context, *statements->older, *statements->newer));
  }
  bool separator = false;
  for (const Window& w : groupWindows(std::move(byTarget), filter.reverse)) {
    sqlite::Statement& records = *statements->groupRecords;
    records.reset();
    records.bind(1, w.target).bind(2, w.lo).bind(3, w.hi);
    sqlite::Statement* gaps = nullptr;
    if (filter.gaps) {
      gaps = &*statements->groupGaps;
      gaps->reset();
      gaps->bind(1, w.target).bind(2, w.below).bind(3, w.hi);
    }
    if (!merge(records, gaps, filter.reverse, &w.matches, separator, visit)) return;
    separator = true;
  }
}

std::string SqliteQuery::plan() {
  try {
    bindMain();
    std::string text = statements->main->queryPlan();
    statements->main->reset();
    return text;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

}  // namespace store
