// tools/store/clickhouse_store.cpp
//
// Opening a ClickHouse store, appending batches, retention by day
// partitions, the audit rows, statistics and the names the store has
// seen. See clickhouse_store.h.
//
// Threads: a ClickHouseStore belongs to one thread.
#include "store/clickhouse_store.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <sstream>

#include "store/clickhouse_filter.h"
#include "store/clickhouse_query.h"
#include "store/clickhouse_rows.h"
#include "store/sql_regexp.h"

namespace store {
namespace {

using Kind = StoreError::Kind;

std::int64_t toInt(std::string_view text) {
  std::int64_t n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  return n;
}

// The lines of a TabSeparated answer, each split at its tabs. Our columns
// hold names we escape nowhere else, so the answer's escapes are undone.
std::vector<std::vector<std::string>> tabSeparated(const std::string& answer) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(answer);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string>& fields = rows.emplace_back(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (c == '\t') {
        fields.emplace_back();
      } else if (c == '\\' && i + 1 < line.size()) {
        const char e = line[++i];
        switch (e) {
          case 'n':
            fields.back() += '\n';
            break;
          case 't':
            fields.back() += '\t';
            break;
          case 'r':
            fields.back() += '\r';
            break;
          case '0':
            fields.back() += '\0';
            break;
          case 'b':
            fields.back() += '\b';
            break;
          case 'f':
            fields.back() += '\f';
            break;
          default:
            fields.back() += e;
        }
      } else {
        fields.back() += c;
      }
    }
  }
  return rows;
}

// Microseconds: ids stay below 2^53, so the console's JavaScript holds
// them exactly (nanoseconds would not), and a relay has a million a
// second to number its records with.
std::int64_t wallClockMicroseconds() { return nanosecondsOf(remote::SystemClock::now()) / 1000; }

}  // namespace

ClickHouseStore::ClickHouseStore(const std::string& name, Access access,
                                 const std::string& passwordFile)
    : server(parseClickHouseLocation(name, passwordFile)), access(access) {
  try {
    prepare();
  } catch (const StoreError& e) {
    // A relay may start while its server is down: it keeps its batches
    // (the writer retries them) and prepares once the server answers.
    if (access != Access::kRecord || e.kind() != Kind::kUnavailable) throw;
  }
}

void ClickHouseStore::prepare() {
  // The first request: credentials and the database are checked here.
  server.execute("SELECT 1");
  version = serverVersion(server);
  distributed = prepareTables(server, version, /*mayCreate=*/access != Access::kRead);
  // An insert into a Distributed table is otherwise only queued on this
  // server for its shards: acknowledged, then lost with the queue, or sent
  // late behind a follower's look back. Sync: stored on every shard it
  // names before the answer, or failed and sent again (shown once).
  if (distributed) server.setSetting("insert_distributed_sync", "1");
  prepared = true;
  if (access == Access::kRecord) {
    nextId = std::max(nextId, toInt(server.execute("SELECT max(id) FROM " + table())) + 1);
    records = toInt(server.execute("SELECT uniqExact(target, uuid, sequence, received_ns) FROM " +
                                   table() + " WHERE kind = 0"));
    setRetention(keep);  // the TTL, where the server has one
  }
}

ClickHouseStore::~ClickHouseStore() = default;

std::vector<std::string> ClickHouseStore::textColumn(const std::string& sql) {
  std::vector<std::string> values;
  for (auto& row : tabSeparated(server.execute(sql + " FORMAT TabSeparated")))
    values.push_back(std::move(row[0]));
  return values;
}

std::int64_t ClickHouseStore::append(std::span<const Entry> entries,
                                     remote::SystemClock::time_point now) {
  if (access != Access::kRecord)
    throw StoreError(Kind::kFailed,
                     server.location().shown() + ": opened for reading, not for recording");
  if (!prepared) prepare();
  if (!entries.empty()) {
    std::string rows;
    rows.reserve(entries.size() * 160);
    std::int64_t id = std::max(wallClockMicroseconds(), nextId);
    std::int64_t added = 0;
    for (const Entry& entry : entries) {
      writeRow(rows, id++, entry);
      added += std::holds_alternative<StoredRecord>(entry) ? 1 : 0;
    }
    server.insert("INSERT INTO " + table() + " (" + kWriteColumns + ") FORMAT RowBinary", rows);
    nextId = id;
    records += added;
  }
  return trim(now);
}

void ClickHouseStore::setRetention(const Retention& retention) {
  if (retention.maxRecords > 0) {
    throw StoreError(Kind::kFailed, server.location().shown() +
                                        ": a ClickHouse store keeps records by age: use "
                                        "--max-age, not --max-records");
  }
  if (distributed && retention.maxAge.count() > 0) {
    // Days are dropped from the parts of a shard's own table, which the
    // Distributed table has none of.
    throw StoreError(Kind::kFailed, server.location().shown() + ": table " + table() +
                                        " is Distributed: give --max-age to a recorder "
                                        "pointed at each shard's table");
  }
  keep = retention;
  // A newer server drops expired rows itself as it merges; trim() still
  // drops whole days, which is all 18.16 can do.
  if (prepared && version.modern() && access == Access::kRecord && keep.maxAge.count() > 0) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(keep.maxAge).count();
    server.execute("ALTER TABLE " + table() +
                   " MODIFY TTL toDateTime(intDiv(received_ns, 1000000000)) + INTERVAL " +
                   std::to_string(seconds) + " SECOND");
  }
}

std::int64_t ClickHouseStore::trim(remote::SystemClock::time_point now) {
  if (keep.maxAge.count() <= 0 || !prepared) return 0;
  // Whole days only, as the server cuts them (its time zone): a day goes
  // once the day of the oldest time kept has begun after it. The parts
  // table tells which days there are without reading a row.
  const std::int64_t oldestSecond = (nanosecondsOf(now) - keep.maxAge.count()) / 1'000'000'000;
  const std::string days =
      server.execute("SELECT partition, sum(rows) FROM system.parts WHERE active AND database = " +
                     quoted(server.location().database) + " AND table = " + quoted(table()) +
                     " AND toDate(partition) < toDate(toDateTime(" +
                     std::to_string(std::max<std::int64_t>(oldestSecond, 0)) +
                     ")) GROUP BY partition FORMAT TabSeparated");
  std::int64_t dropped = 0;
  for (const auto& row : tabSeparated(days)) {
    if (row.size() < 2) continue;
    server.execute("ALTER TABLE " + table() + " DROP PARTITION " + quoted(row[0]));
    dropped += toInt(row[1]);  // rows: gaps and copies too, as the parts count them
  }
  records = std::max<std::int64_t>(records - dropped, 0);
  return dropped;
}

KnownRecords ClickHouseStore::known(std::span<const Entry> entries) {
  if (!prepared) prepare();
  // The ranges of numbers per instance, as SQLite's engine reads them.
  std::map<std::pair<std::string, codec::Uuid>, std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::set<std::pair<std::string, codec::Uuid>> gapInstances;
  for (const Entry& entry : entries) {
    if (const auto* r = std::get_if<StoredRecord>(&entry)) {
      const std::uint32_t n = r->arrived.record.sequence;
      const auto [it, added] =
          ranges.try_emplace({r->arrived.source, r->arrived.record.uuid}, n, n);
      it->second = {std::min(it->second.first, n), std::max(it->second.second, n)};
    } else {
      const auto& g = std::get<StoredGap>(entry);
      gapInstances.insert({g.target, g.uuid});
    }
  }
  const auto uuidLiteral = [](const codec::Uuid& uuid) {
    return quoted(std::string_view(reinterpret_cast<const char*>(uuid.data()), uuid.size()));
  };
  std::string condition;
  for (const auto& [instance, range] : ranges) {
    condition += std::string(condition.empty() ? "" : " OR ") +
                 "(kind = 0 AND target = " + quoted(instance.first) +
                 " AND uuid = " + uuidLiteral(instance.second) + " AND sequence BETWEEN " +
                 std::to_string(range.first) + " AND " + std::to_string(range.second) + ")";
  }
  for (const auto& instance : gapInstances) {
    condition += std::string(condition.empty() ? "" : " OR ") +
                 "(kind = 1 AND target = " + quoted(instance.first) +
                 " AND uuid = " + uuidLiteral(instance.second) + ")";
  }
  KnownRecords known;
  if (condition.empty()) return known;
  RowReader reader;
  ReadRow row;
  server.select(
      clickhouse::orderedRows(table(), condition, /*reverse=*/false) + " FORMAT RowBinary",
      [&](std::string_view piece) {
        reader.add(piece);
        while (reader.next(row)) known.add(row.entry);
        return true;
      });
  return known;
}

void ClickHouseStore::appendAudit(const AuditRow& row) {
  if (access == Access::kRead)
    throw StoreError(Kind::kReadOnly,
                     server.location().shown() + ": opened for reading, not for auditing");
  const std::int64_t id = std::max(wallClockMicroseconds(), nextAudit);
  nextAudit = id + 1;
  server.execute("INSERT INTO " + table() +
                 "_audit (id, at_ns, target, application, component, "
                 "mask_before, mask_after, levels_before, levels_after, changed_by, why) VALUES (" +
                 std::to_string(id) + ", " + std::to_string(nanosecondsOf(row.at)) + ", " +
                 quoted(row.target) + ", " + quoted(row.application) + ", " +
                 quoted(row.component) + ", " + std::to_string(row.maskBefore) + ", " +
                 std::to_string(row.maskAfter) + ", " + quoted(row.levelsBefore) + ", " +
                 quoted(row.levelsAfter) + ", " + quoted(row.by) + ", " + quoted(row.why) + ")");
}

std::vector<AuditRow> ClickHouseStore::audit(const AuditFilter& filter) {
  std::string where = "id > " + std::to_string(filter.afterId);
  if (filter.sinceNs) where += " AND at_ns >= " + std::to_string(*filter.sinceNs);
  if (filter.untilNs) where += " AND at_ns < " + std::to_string(*filter.untilNs);
  if (!filter.targets.empty()) {
    // "address:port" as given; a host alone, every port of it.
    where += " AND (0";
    for (const std::string& target : filter.targets) {
      where += target.find(':') == std::string::npos
                   ? " OR startsWith(target, " + quoted(target + ":") + ")"
                   : " OR target = " + quoted(target);
    }
    where += ")";
  }
  if (!filter.components.empty()) {
    std::string list;
    for (const std::string& c : filter.components) list += (list.empty() ? "" : ", ") + quoted(c);
    where += " AND component IN (" + list + ")";
  }
  std::string sql =
      "SELECT id, at_ns, target, application, component, mask_before, mask_after, "
      "levels_before, levels_after, changed_by, why FROM " +
      table() + "_audit WHERE " + where + " ORDER BY id DESC";
  if (filter.limit > 0) sql += " LIMIT " + std::to_string(filter.limit);
  std::vector<AuditRow> rows;
  for (auto& f : tabSeparated(server.execute(sql + " FORMAT TabSeparated"))) {
    if (f.size() < 11) continue;
    AuditRow& row = rows.emplace_back();
    row.id = toInt(f[0]);
    row.at = fromNanoseconds(toInt(f[1]));
    row.target = std::move(f[2]);
    row.application = std::move(f[3]);
    row.component = std::move(f[4]);
    row.maskBefore = static_cast<std::uint32_t>(toInt(f[5]));
    row.maskAfter = static_cast<std::uint32_t>(toInt(f[6]));
    row.levelsBefore = std::move(f[7]);
    row.levelsAfter = std::move(f[8]);
    row.by = std::move(f[9]);
    row.why = std::move(f[10]);
  }
  std::reverse(rows.begin(), rows.end());  // oldest first
  return rows;
}

std::int64_t ClickHouseStore::recordCount() {
  if (access == Access::kRecord) return records;  // counted since the store was prepared
  return toInt(server.execute("SELECT uniqExact(target, uuid, sequence, received_ns) FROM " +
                              table() + " WHERE kind = 0"));
}

std::int64_t ClickHouseStore::lastId() {
  if (access == Access::kRecord) return nextId - 1;  // 0 until the server answered
  return toInt(server.execute("SELECT max(id) FROM " + table()));
}

std::unique_ptr<Query> ClickHouseStore::query(Filter filter) {
  return std::make_unique<ClickHouseQuery>(*this, std::move(filter));
}

namespace {

// Statistics in one statement: counts by kind, target, component and
// level over each event once, put together here.
std::string statsStatement(const std::string& table, const Filter& filter) {
  return std::string(
             "SELECT kind, target, component, client_level, level_name, count(), "
             "sum(gap_count), min(received_ns), max(received_ns) FROM (SELECT ") +
         kKeyColumns + ", component, client_level, level_name, gap_count FROM " + table +
         " WHERE " + clickhouse::selection(filter, /*gaps=*/true) + " LIMIT 1 BY " + kKeyColumns +
         ") GROUP BY kind, target, component, client_level, level_name";
}

}  // namespace

Stats ClickHouseStore::stats(const Filter& filter) {
  checkMatch(filter.regex);
  struct Group {
    std::uint8_t kind;
    std::string target, component;
    int level;
    std::string levelName;
    std::int64_t count, lost, first, last;
  };
  std::vector<Group> groups;
  if (filter.regex.empty()) {
    for (auto& f :
         tabSeparated(server.execute(statsStatement(table(), filter) + " FORMAT TabSeparated"))) {
      if (f.size() < 9) continue;
      groups.push_back({static_cast<std::uint8_t>(toInt(f[0])), f[1], f[2],
                        static_cast<int>(toInt(f[3])), f[4], toInt(f[5]), toInt(f[6]), toInt(f[7]),
                        toInt(f[8])});
    }
  } else {
    // --grep and --exclude mean what record_match.h says: the rows come
    // here and are counted one by one.
    const remote::RecordMatch match(filter.regex);
    RowReader reader;
    ReadRow row;
    server.select(clickhouse::orderedRows(table(), clickhouse::selection(filter, true), false) +
                      " FORMAT RowBinary",
                  [&](std::string_view piece) {
                    reader.add(piece);
                    while (reader.next(row)) {
                      if (const auto* r = std::get_if<StoredRecord>(&row.entry)) {
                        const remote::ArrivedRecord& a = r->arrived;
                        if (!match.wanted(a.text(), a.function(), a.file())) continue;
                        const std::int64_t at = nanosecondsOf(a.receivedAt);
                        groups.push_back({kRecordKind, a.source, a.component(),
                                          remote::recordClientLevel(a.record.clientMask),
                                          r->levelName, 1, 0, at, at});
                      } else {
                        const auto& g = std::get<StoredGap>(row.entry);
                        groups.push_back({kGapKind, g.target, "", -1, "", 1, g.gap.count, 0, 0});
                      }
                    }
                    return true;
                  });
  }
  Stats stats;
  std::map<std::string, Stats::PerTarget> perTarget;
  std::map<std::string, std::int64_t> perComponent;
  std::map<std::pair<int, std::string>, std::int64_t> perLevel;
  for (const Group& g : groups) {
    Stats::PerTarget& t = perTarget[g.target];
    if (g.kind == kGapKind) {
      t.gaps += g.count;
      t.lost += g.lost;
      stats.gaps += g.count;
      stats.lost += g.lost;
      continue;
    }
    t.records += g.count;
    stats.records += g.count;
    perComponent[g.component] += g.count;
    perLevel[{g.level, g.levelName}] += g.count;
    const auto first = fromNanoseconds(g.first), last = fromNanoseconds(g.last);
    if (!stats.first || first < *stats.first) stats.first = first;
    if (!stats.last || last > *stats.last) stats.last = last;
  }
  for (auto& [target, t] : perTarget) {
    t.target = target;
    stats.targets.push_back(std::move(t));
  }
  for (const auto& [component, n] : perComponent) stats.components.push_back({component, n});
  for (const auto& [level, n] : perLevel) stats.levels.push_back({level.first, level.second, n});
  // Most severe first, names in order within a level.
  std::stable_sort(stats.levels.begin(), stats.levels.end(),
                   [](const Stats::PerLevel& a, const Stats::PerLevel& b) {
                     return a.clientLevel > b.clientLevel;
                   });
  return stats;
}

std::string ClickHouseStore::statsPlan(const Filter& filter) {
  return statsStatement(table(), filter) + "\n" +
         (filter.regex.empty() ? "" : "then --grep/--exclude on each record here (POSIX regex)\n");
}

remote::Levels ClickHouseStore::levels() {
  remote::Levels levels;
  for (const auto& f :
       tabSeparated(server.execute("SELECT DISTINCT client_level, level_name FROM " + table() +
                                   " WHERE kind = 0 AND client_level >= 0 FORMAT TabSeparated"))) {
    if (f.size() == 2) levels.push_back({static_cast<std::uint32_t>(toInt(f[0])), f[1]});
  }
  return levels;
}

std::vector<std::string> ClickHouseStore::targets() {
  return textColumn("SELECT DISTINCT target FROM " + table() + " ORDER BY target");
}

std::vector<std::string> ClickHouseStore::components() {
  return textColumn("SELECT DISTINCT component FROM " + table() +
                    " WHERE kind = 0 ORDER BY component");
}

// Rows as they are, copies of a batch sent twice included: exact counts
// per target cost a pass over every key, too much for a console that asks
// every few seconds.
std::vector<SeenTarget> ClickHouseStore::seenTargets() {
  std::vector<SeenTarget> seen;
  for (const auto& f : tabSeparated(server.execute(
           "SELECT target, argMax(application, received_ns), lower(hex(argMax(uuid, "
           "received_ns))), maxIf(received_ns, kind = 0), countIf(kind = 0), countIf(kind = 1), "
           "sumIf(gap_count, kind = 1) FROM " +
           table() + " GROUP BY target ORDER BY target FORMAT TabSeparated"))) {
    if (f.size() != 7) continue;
    SeenTarget& t = seen.emplace_back();
    t.target = f[0];
    t.application = f[1];
    t.uuid = f[2];
    if (const std::int64_t last = toInt(f[3]); last > 0) t.lastRecord = fromNanoseconds(last);
    t.records = toInt(f[4]);
    t.gaps = toInt(f[5]);
    t.lost = toInt(f[6]);
  }
  for (const auto& f : tabSeparated(
           server.execute("SELECT DISTINCT target, component FROM " + table() +
                          " WHERE kind = 0 ORDER BY target, component FORMAT TabSeparated"))) {
    if (f.size() != 2) continue;
    const auto t = std::lower_bound(
        seen.begin(), seen.end(), f[0],
        [](const SeenTarget& s, const std::string& target) { return s.target < target; });
    if (t != seen.end() && t->target == f[0]) t->components.push_back(f[1]);
  }
  return seen;
}

}  // namespace store
