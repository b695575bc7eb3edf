// tools/store/clickhouse_query.cpp
//
// Plain, context and following runs of a ClickHouse query. See
// clickhouse_query.h.
//
// Threads: one thread.
#include "store/clickhouse_query.h"

#include <algorithm>
#include <charconv>

#include "store/clickhouse_filter.h"
#include "store/context_windows.h"
#include "store/sql_regexp.h"

namespace store {
namespace {

using Kind = StoreError::Kind;

bool isRecord(const ReadRow& row) { return std::holds_alternative<StoredRecord>(row.entry); }

std::int64_t idOf(const Entry& entry) {
  return std::visit([](const auto& e) { return e.id; }, entry);
}

const std::string& targetOf(const Entry& entry) {
  if (const auto* r = std::get_if<StoredRecord>(&entry)) return r->arrived.source;
  return std::get<StoredGap>(entry).target;
}

}  // namespace

ClickHouseQuery::ClickHouseQuery(ClickHouseStore& store, Filter f)
    : store(store), filter(std::move(f)) {
  checkMatch(filter.regex);  // kBadRegex with the regex library's words
  if (!filter.regex.empty()) regex = std::make_unique<remote::RecordMatch>(filter.regex);
  clickhouse::recordCondition(filter);  // kBadMatch now, not at the first run
}

ClickHouseQuery::~ClickHouseQuery() = default;

void ClickHouseQuery::resumeAfter(std::int64_t id) {
  following = true;
  cursor = id;
  lateFrom = nextLateFrom;
  // What the next look cannot see again need not be remembered.
  std::erase_if(shown, [&](const auto& kept) {
    return kept.second.first < lateFrom && kept.second.second <= cursor;
  });
}

std::optional<ClickHouseQuery::Span> ClickHouseQuery::window() const {
  if (following) {
    const std::string inside = "(id > " + std::to_string(cursor) + " OR inserted >= toDateTime(" +
                               std::to_string(lateFrom) + "))";
    return Span{inside, "NOT " + inside};
  }
  if (filter.afterId > 0) {
    return Span{"id > " + std::to_string(filter.afterId),
                "id <= " + std::to_string(filter.afterId)};
  }
  return std::nullopt;
}

void ClickHouseQuery::fetch(const std::string& condition, bool reverse,
                            const std::function<bool(ReadRow&)>& each) {
  RowReader reader;
  ReadRow row;
  store.connection().select(
      clickhouse::orderedRows(store.table(), condition, reverse) + " FORMAT RowBinary",
      [&](std::string_view piece) {
        reader.add(piece);
        while (reader.next(row)) {
          if (!each(row)) return false;
        }
        return true;
      });
}

std::set<RowKey> ClickHouseQuery::copiesOutside(const std::vector<ReadRow>& rows, const Span& w) {
  std::set<RowKey> copies;
  if (rows.empty()) return copies;
  // A copy has the same target and receive time: look there only.
  std::int64_t low = INT64_MAX, high = INT64_MIN;
  std::set<std::string> targets;
  for (const ReadRow& row : rows) {
    const std::int64_t at = std::get<4>(keyOf(row.entry));
    low = std::min(low, at);
    high = std::max(high, at);
    targets.insert(targetOf(row.entry));
  }
  std::string list;
  for (const std::string& t : targets) list += (list.empty() ? "" : ", ") + quoted(t);
  fetch(w.outside + " AND received_ns BETWEEN " + std::to_string(low) + " AND " +
            std::to_string(high) + " AND target IN (" + list + ")",
        /*reverse=*/false, [&](ReadRow& row) {
          copies.insert(keyOf(row.entry));
          return true;
        });
  return copies;
}

bool ClickHouseQuery::wanted(const ReadRow& row, const std::set<RowKey>& before) const {
  if (!before.empty() && before.contains(keyOf(row.entry))) return false;
  if (following && shown.contains(keyOf(row.entry))) return false;
  if (regex && isRecord(row)) {
    const remote::ArrivedRecord& a = std::get<StoredRecord>(row.entry).arrived;
    if (!regex->wanted(a.text(), a.function(), a.file())) return false;
  }
  return true;
}

std::int64_t ClickHouseQuery::run(const std::function<bool(const Row&)>& visit) {
  // The newest id now, and the server's clock for the next look back.
  const std::string now = store.connection().execute("SELECT max(id), toUInt32(now()) FROM " +
                                                     store.table() + " FORMAT TabSeparated");
  std::int64_t high = 0;
  std::uint32_t serverNow = 0;
  const char* end = now.data() + now.size();
  const char* p = std::from_chars(now.data(), end, high).ptr;
  if (p < end) std::from_chars(p + 1, end, serverNow);
  high = std::max(high, cursor);
  // The rows the next look may see again: inserted since it looks back,
  // or after the id it resumes from.
  nextLateFrom = serverNow > ClickHouseStore::kOverlapSeconds
                     ? serverNow - ClickHouseStore::kOverlapSeconds
                     : 0;
  newestSeen = high;
  if (!following && filter.afterId > 0 && filter.context == 0) {
    // Starting after an id (the newest N shown, then what comes): the rows
    // before it that the next look back will see are passed over, not late.
    fetch(clickhouse::selection(filter, filter.gaps) +
              " AND id <= " + std::to_string(filter.afterId) + " AND inserted >= toDateTime(" +
              std::to_string(nextLateFrom) + ")",
          /*reverse=*/false, [&](ReadRow& read) {
            shown[keyOf(read.entry)] = {read.inserted, idOf(read.entry)};
            return true;
          });
  }
  if (filter.context > 0) {
    runContext(visit);
  } else {
    runPlain(visit);
  }
  return high;
}

void ClickHouseQuery::runPlain(const std::function<bool(const Row&)>& visit) {
  const std::optional<Span> w = window();
  std::string condition = clickhouse::selection(filter, filter.gaps);
  if (w) condition += " AND " + w->inside;
  std::int64_t counted = 0;
  bool more = true;
  const auto offer = [&](ReadRow& read, const std::set<RowKey>& before) {
    if (!wanted(read, before)) return true;
    // Gaps after the last record a limit let through stand before
    // records that are not shown.
    if (filter.limit > 0 && counted >= filter.limit) return more = false;
    if (isRecord(read)) ++counted;
    Row row;
    row.entry = read.entry;
    if (read.inserted >= nextLateFrom || idOf(read.entry) > newestSeen)
      shown[keyOf(read.entry)] = {read.inserted, idOf(read.entry)};
    return more = visit(row);
  };
  if (!w && filter.limit > 0 && !regex) {
    // The records a limit lets through are the first `limit` ids selected,
    // unless copies are among them: the server finds the limit-th id from
    // the ids alone, and only rows up to it are read and sorted, further
    // when copies made them too few. Newest first, a copy of an older row
    // may come before it and is left out.
    const std::string direction = filter.reverse ? " DESC" : "";
    for (std::int64_t m = filter.limit;; m *= 4) {
      std::string nth = store.connection().execute(
          "SELECT id FROM " + store.table() + " WHERE " + clickhouse::selection(filter, false) +
          " ORDER BY id" + direction + " LIMIT " + std::to_string(m - 1) +
          ", 1 FORMAT TabSeparated");
      while (!nth.empty() && nth.back() == '\n') nth.pop_back();
      if (nth.empty()) break;  // fewer than m: read them all, below
      std::vector<ReadRow> candidates;
      fetch(condition + (filter.reverse ? " AND id >= " : " AND id <= ") + nth, filter.reverse,
            [&](ReadRow& read) {
              candidates.push_back(std::move(read));
              return true;
            });
      const std::set<RowKey> before =
          filter.reverse ? copiesOutside(candidates, Span{"", "id < " + nth}) : std::set<RowKey>{};
      const auto records = std::count_if(
          candidates.begin(), candidates.end(),
          [&](const ReadRow& r) { return isRecord(r) && !before.contains(keyOf(r.entry)); });
      if (records < filter.limit) continue;
      for (ReadRow& read : candidates) {
        if (!offer(read, before)) return;
      }
      return;
    }
  }
  if (!w) {
    static const std::set<RowKey> kNone;
    fetch(condition, filter.reverse, [&](ReadRow& read) { return offer(read, kNone); });
    return;
  }
  // After a point: the candidates first, to leave out the events a copy
  // of which came before it.
  std::vector<ReadRow> candidates;
  fetch(condition, filter.reverse, [&](ReadRow& read) {
    candidates.push_back(std::move(read));
    return true;
  });
  const std::set<RowKey> before = copiesOutside(candidates, *w);
  for (ReadRow& read : candidates) {
    if (!offer(read, before)) return;
  }
}

void ClickHouseQuery::runContext(const std::function<bool(const Row&)>& visit) {
  // The matches, in output order, as many as the limit lets through.
  const std::optional<Span> w = window();
  std::string condition = clickhouse::selection(filter, /*gaps=*/false);
  if (w) condition += " AND " + w->inside;
  std::vector<ReadRow> candidates;
  fetch(condition, filter.reverse, [&](ReadRow& read) {
    candidates.push_back(std::move(read));
    return true;
  });
  const std::set<RowKey> before = w ? copiesOutside(candidates, *w) : std::set<RowKey>{};
  std::vector<std::pair<std::int64_t, std::string>> found;
  for (const ReadRow& read : candidates) {
    if (filter.limit > 0 && static_cast<std::int64_t>(found.size()) >= filter.limit) break;
    if (wanted(read, before)) found.emplace_back(idOf(read.entry), targetOf(read.entry));
  }
  if (found.empty()) return;
  // Every row of those targets, whatever the other filters say: context
  // is the target's neighbours.
  std::set<std::string> targets;
  for (const auto& [id, target] : found) targets.insert(target);
  std::string list;
  for (const std::string& t : targets) list += (list.empty() ? "" : ", ") + quoted(t);
  std::map<std::string, std::vector<Entry>> rowsOf;
  std::map<std::string, std::vector<std::int64_t>> recordIds;
  fetch("target IN (" + list + ")", /*reverse=*/false, [&](ReadRow& read) {
    const std::string& target = targetOf(read.entry);
    if (isRecord(read)) recordIds[target].push_back(idOf(read.entry));
    rowsOf[target].push_back(std::move(read.entry));
    return true;
  });
  const auto n = static_cast<std::ptrdiff_t>(filter.context);
  std::map<std::string, std::vector<store::Window>> byTarget;
  for (const auto& [id, target] : found) {
    const std::vector<std::int64_t>& ids = recordIds[target];
    const auto at = std::lower_bound(ids.begin(), ids.end(), id) - ids.begin();
    const auto size = static_cast<std::ptrdiff_t>(ids.size());
    store::Window win{target, 0, id, id, std::nullopt, id, {id}};
    win.lo = ids[static_cast<std::size_t>(std::max<std::ptrdiff_t>(at - n, 0))];
    if (at - n - 1 >= 0) win.below = ids[static_cast<std::size_t>(at - n - 1)];
    win.hi = ids[static_cast<std::size_t>(std::min(at + n, size - 1))];
    if (at + n + 1 < size) win.above = ids[static_cast<std::size_t>(at + n + 1)];
    byTarget[target].push_back(std::move(win));
  }
  bool separator = false;
  for (const store::Window& group : groupWindows(std::move(byTarget), filter.reverse)) {
    std::vector<const Entry*> inGroup;
    for (const Entry& entry : rowsOf[group.target]) {
      const std::int64_t id = idOf(entry);
      const bool record = std::holds_alternative<StoredRecord>(entry);
      if (record ? (id >= group.lo && id <= group.hi)
                 : (filter.gaps && id > group.below && id < group.hi))
        inGroup.push_back(&entry);
    }
    if (filter.reverse) std::reverse(inGroup.begin(), inGroup.end());
    for (const Entry* entry : inGroup) {
      Row row;
      row.entry = *entry;
      row.contextOnly =
          !std::holds_alternative<StoredRecord>(*entry) || !group.matches.contains(idOf(*entry));
      row.separatorBefore = std::exchange(separator, false);
      if (!visit(row)) return;
    }
    separator = true;
  }
}

std::string ClickHouseQuery::plan() {
  std::string condition = clickhouse::selection(filter, filter.gaps);
  if (const std::optional<Span> w = window()) condition += " AND " + w->inside;
  std::string text = clickhouse::orderedRows(store.table(), condition, filter.reverse) + "\n";
  if (regex) text += "then --grep/--exclude on each record here (POSIX regex)\n";
  return text;
}

}  // namespace store
