// tests/tools/record_store_test.cpp
//
// The record store on real files: every field and every gap comes back as
// it went in; the filters, full-text queries and context groups agree with
// a brute-force pass over the same records; retention keeps the newest;
// read-only and full file systems are refused with their own error (files
// that are not a store, newer or locked: history_test); what a store holds
// already is recognised by instance, number and content; and a recorder
// killed with SIGKILL mid-stream, once its log is being copied into the
// file beside it, leaves a sound store that lost at most its open batch.
// Audit rows go in beside a recorder that holds the store, without its
// lock or its ids, and into a store of the schema before them.
//
// Threads: gtest's thread runs the cases (the store copies its log on a
// thread of its own); the crash and mount cases fork.
#include "store/sqlite_store.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "model/text_query.h"
#include "store/known_records.h"
#include "store/sqlite_query.h"
#include "store/store_stats.h"

namespace {

namespace fs = std::filesystem;
using store::Entry;
using store::Filter;
using store::SqliteStore;
using store::StoredRecord;
using Kind = store::StoreError::Kind;
using store::Access;
using store::AuditRow;

constexpr std::int64_t kSecond = 1'000'000'000;
const std::int64_t kNow = 1'700'000'000 * kSecond;
const std::string kA = "127.0.0.1:57008", kB = "127.0.0.2:57009", kC = "127.0.0.1:57009";

remote::SystemClock::time_point at(std::int64_t ns) {
  return remote::SystemClock::time_point(std::chrono::nanoseconds(ns));
}

codec::Uuid uuidOf(const std::string& target) {
  codec::Uuid uuid{};
  std::copy_n(target.begin(), std::min(target.size(), uuid.size()), uuid.begin());
  return uuid;
}

// A record of client level `level` (-1: a mask of no level), received at `ns`.
StoredRecord record(const std::string& target, std::uint32_t sequence, const std::string& component,
                    int level, const std::string& text, std::int64_t ns = kNow) {
  StoredRecord r;
  r.arrived = {{uuidOf(target),
                sequence,
                {100, 7, static_cast<std::int32_t>(sequence), 42},
                level < 0 ? 0 : 1u << level,
                {component, "/src/" + component + ".cpp", component + "_run", text}},
               at(ns),
               target};
  r.applicationName = "app";
  return r;
}

store::StoredGap gap(const std::string& target, std::uint32_t first, std::uint32_t count) {
  return {{target, uuidOf(target), {first, count}, at(kNow)}, 0, "app"};
}

std::vector<store::Row> rowsOf(SqliteStore& s, const Filter& filter) {
  std::vector<store::Row> rows;
  store::SqliteQuery(s, filter).run([&](const store::Row& row) {
    rows.push_back(row);
    return true;
  });
  return rows;
}

std::vector<std::int64_t> idsOf(const std::vector<store::Row>& rows) {
  std::vector<std::int64_t> ids;
  for (const auto& row : rows) ids.push_back(row.id());
  return ids;
}

// Rows as grep -C shows them: "1: " a match, "2- " context, "-- " between groups.
std::string shown(const store::Row& row) {
  return (row.separatorBefore ? "-- " : "") + std::to_string(row.id()) +
         (row.contextOnly ? "- " : ": ");
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() { fresh(); }
  ~StoreTest() override { fs::remove_all(dir); }
  void fresh() {
    fs::remove_all(dir);
    fs::create_directories(dir);
  }

  fs::path dir = fs::path(::testing::TempDir()) / ("store-" + std::to_string(::getpid()));
  std::string path = (dir / "records.db").string();
};

// ---- round trip ----

TEST_F(StoreTest, EveryFieldAndGapComesBackInPlace) {
  StoredRecord edge = record(kA, 0xFFFFFFFF, "", 31, "");
  edge.arrived.record.integers = {-1, std::numeric_limits<std::int32_t>::min(), -2, 0x7FFFFFFF};
  edge.arrived.record.strings = {"net", std::string(2000, 'f'), "f\xff\xfe",
                                 "caf\xc3\xa9 \xe2\x9c\x93"};
  edge.arrived.record.clientMask = 0x30000000;  // two bits: no single level
  edge.arrived.receivedAt = at(kNow + 123456789);
  edge.levelName = "warning/notice";
  std::vector<Entry> entries{edge,
                             record(kA, 0, "db", 0, "after wrap"),
                             gap(kA, 1, 4),
                             gap(kB, 10, 1),
                             record(kA, 5, "db", 28, "after gap"),
                             record(kB, 11, "db", 28, "other target"),
                             gap(kA, 0xFFFFFFFE, 3)};  // wraps: the last missing is 0
  SqliteStore(path, Access::kRecord).append(entries);
  SqliteStore reader(path, Access::kRead);
  const auto rows = rowsOf(reader, {});
  ASSERT_EQ(rows.size(), entries.size());
  const auto fields = [](const Entry& e) {
    if (const auto* r = std::get_if<StoredRecord>(&e)) {
      const auto& a = r->arrived;
      // Stored without a level name, a record gets the one tail would show.
      const std::string level =
          r->levelName.empty() ? remote::recordLevelName(a.record.clientMask, {}) : r->levelName;
      return testing::PrintToString(std::make_tuple(
          a.receivedAt, a.source, a.record.uuid, a.record.sequence, a.record.clientMask,
          a.record.integers, a.record.strings, r->applicationName, level));
    }
    const auto& g = std::get<store::StoredGap>(e);
    return testing::PrintToString(
        std::make_tuple(g.target, g.uuid, g.applicationName, g.gap.first, g.gap.count, g.seenAt));
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].id(), static_cast<std::int64_t>(i + 1));
    EXPECT_EQ(fields(rows[i].entry), fields(entries[i]));
  }
  // Gaps follow the target filter, the order and the limit.
  static const struct {
    const char* name;
    Filter filter;
    std::vector<std::int64_t> ids;
  } kCases[] = {
      {"one target", {.targets = {kB}}, {4, 6}},
      {"newest first", {.reverse = true}, {7, 6, 5, 4, 3, 2, 1}},
      {"limit cuts the gaps after the last record", {.limit = 2}, {1, 2}},
      {"after an id", {.afterId = 3}, {4, 5, 6, 7}},
      {"no gaps", {.gaps = false}, {1, 2, 5, 6}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(idsOf(rowsOf(reader, c.filter)), c.ids);
  }
  const store::Stats stats = store::collectStats(reader);
  EXPECT_EQ(std::tie(stats.records, stats.gaps, stats.lost), std::make_tuple(4, 3, 8));
  ASSERT_EQ(stats.targets.size(), 2u);
  EXPECT_EQ(stats.targets[0].lost, 7);
}

// ---- filters against brute force ----

int level(const StoredRecord& r) { return remote::recordClientLevel(r.arrived.record.clientMask); }
// A record whose mask names no single level passes a minimum.
bool atLeast(const StoredRecord& r, int minimum) { return level(r) >= minimum || level(r) < 0; }
const std::string& text(const StoredRecord& r) { return r.arrived.text(); }
const std::string& component(const StoredRecord& r) { return r.arrived.component(); }

// Full-text tokens: runs of letters and digits, lower case.
std::vector<std::string> tokens(const std::string& text) {
  std::vector<std::string> out(1);
  for (char ch : text) {
    if (std::isalnum(static_cast<unsigned char>(ch))) {
      out.back() += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    } else if (!out.back().empty()) {
      out.emplace_back();
    }
  }
  if (out.back().empty()) out.pop_back();
  return out;
}

bool hasPhrase(const StoredRecord& r, const std::string& phrase) {
  const auto t = tokens(text(r)), p = tokens(phrase);
  return std::search(t.begin(), t.end(), p.begin(), p.end()) != t.end();
}

bool grep(const StoredRecord& r, const std::string& pattern) {
  return std::regex_search(text(r), std::regex(pattern));
}

class StoreFilterTest : public StoreTest {
 protected:
  StoreFilterTest() {
    std::mt19937 random(7);
    const char* words[] = {"alpha", "beta", "gamma", "delta", "timeout", "refused", "retry"};
    const char* components[] = {"net", "db", "ui", "core"};
    const std::string targets[] = {kA, kC, "127.0.0.2:57010"};
    std::vector<Entry> entries;
    for (std::uint32_t i = 0; i < 1500; ++i) {
      std::string text;
      for (int w = 0; w < 4; ++w) text += std::string(words[random() % 7]) + (w < 3 ? " " : "");
      const int level = random() % 10 == 0 ? -1 : 27 + static_cast<int>(random() % 5);
      entries.push_back(record(targets[random() % 3], i, components[random() % 4], level, text,
                               kNow + i * kSecond));
      all.push_back(std::get<StoredRecord>(entries.back()));
      all.back().id = i + 1;
    }
    SqliteStore(path, Access::kRecord).append(entries);
  }

  std::vector<StoredRecord> all;
};

TEST_F(StoreFilterTest, QueriesAgreeWithBruteForce) {
  using R = const StoredRecord&;
  static const struct {
    const char* name;
    Filter filter;
    bool (*pass)(R);
  } kCases[] = {
      {"component", {.components = {"net"}}, [](R r) { return component(r) == "net"; }},
      {"components and minimum level",
       {.components = {"net", "db"}, .minClientLevel = 30},
       [](R r) { return (component(r) == "net" || component(r) == "db") && atLeast(r, 30); }},
      {"target and level set",
       {.targets = {kC}, .clientLevels = {27, 29}},
       [](R r) { return r.arrived.source == kC && (level(r) == 27 || level(r) == 29); }},
      // Records arrive one second apart: both ends fall on a record.
      {"time range",
       {.sinceNs = kNow + 100 * kSecond, .untilNs = kNow + 900 * kSecond},
       [](R r) {
         const auto ns = r.arrived.receivedAt.time_since_epoch().count();
         return ns >= kNow + 100 * kSecond && ns < kNow + 900 * kSecond;
       }},
      {"grep",
       {.regex = {.grep = {"^(alpha|beta) .*retry$"}}},
       [](R r) { return grep(r, "^(alpha|beta) .*retry$"); }},
      {"full-text word, any column",
       {.match = "timeout"},
       [](R r) { return hasPhrase(r, "timeout"); }},
      {"full-text word in the component",
       {.match = "net"},
       [](R r) { return component(r) == "net"; }},
      {"full-text phrase and level",
       {.minClientLevel = 31, .match = "\"alpha beta\""},
       [](R r) { return hasPhrase(r, "alpha beta") && atLeast(r, 31); }},
      {"full-text column filter and grep",
       {.regex = {.grep = {"gamma"}}, .match = "text : refused AND component : ui"},
       [](R r) { return hasPhrase(r, "refused") && component(r) == "ui" && grep(r, "gamma"); }},
  };
  SqliteStore reader(path, Access::kRead);
  for (const auto& c : kCases) {
    for (const bool reverse : {false, true}) {
      for (const std::int64_t limit : {0, 5}) {
        SCOPED_TRACE(testing::Message() << c.name << " reverse " << reverse << " limit " << limit);
        std::vector<std::int64_t> expected;
        for (const auto& r : all) {
          if (c.pass(r)) expected.push_back(r.id);
        }
        if (reverse) std::reverse(expected.begin(), expected.end());
        if (limit && expected.size() > static_cast<std::size_t>(limit)) expected.resize(limit);
        Filter filter = c.filter;
        filter.reverse = reverse;
        filter.limit = limit;
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(idsOf(rowsOf(reader, filter)), expected);
        if (limit == 0 && !reverse) {
          EXPECT_EQ(store::collectStats(reader, filter).records,
                    static_cast<std::int64_t>(expected.size()));
        }
      }
    }
  }
}

// A full-text query means in memory (an alert rule's `match`) what it
// means to the store's index (`query --match`): the same records, and the
// same queries refused.
TEST_F(StoreTest, FullTextQueriesSelectInMemoryWhatTheStoreSelects) {
  static const struct {
    const char *text, *function, *file, *component;
  } kRecords[] = {
      {"Disk FULL on /var/log", "check_space", "src/db/volume.cpp", "db"},
      {"connection refused by peer", "connect_peer", "src/net/socket.cpp", "net"},
      {"Café CRÈME served", "serve", "src/ui/menu.cpp", "ui"},
      {"retry 3 of 5: timeout", "retry_write", "src/db/writer.cpp", "db"},
      {"deadlock detected \u2014 rolling back", "lock_wait", "src/db/locks.cpp", "db"},
      {"user logged in (\u00fcber-admin)", "Login", "src/ui/session.cpp", "ui"},
      {"x\u00b2+y\u00b2 r\u00e9sum\u00e9 \u00c6ble\u00d7Na\u00efve", "math", "src/core/math.cpp",
       "core"},
      {"shutting down", "stop", "src/core/main.cpp", "core"},
  };
  static const char* kQueries[] = {
      "disk",
      "DISK full",
      "\"refused by\"",
      "\"by refused\"",
      "ref*",
      "\"connection ref\" *",
      "cafe",
      "CAF\u00c9 cr\u00e8me",
      "component:db",
      "Component : db NOT timeout",
      "db OR ui",
      "db AND deadlock",
      "-{text function}:ui",
      "{text function}:retry",
      "^shutting",
      "^down",
      "lock + wait",
      "\"detected rolling\"",
      "uber",
      "\u00dcBER admin",
      "x\u00b2",
      "resume",
      "\u00e6ble naive",
      "(disk OR timeout) AND component:db",
      "text:(disk OR refused)",
      "session",
      "cpp",
      "\"\"",
      "disk \"...\"",
      "retry_write",
      "log*",
      "db NOT disk OR net",
      "disk OR timeout NOT retry",
      "a NOT b NOT c",
      "db NOT timeout AND retry",
      "refused OR net NOT peer",
      "text:log component:ui",
      "NOT_A_KEYWORD",
      "and",
      "\"NOT\"",
  };
  static const char* kRefused[] = {
      "foo.bar",        "NOT disk", "disk AND",         "nocol:x", "a (b OR c)",
      "\"unterminated", "OR",       "text:(disk) full", "{}:disk", "-disk",
  };
  std::vector<Entry> entries;
  std::vector<remote::TokenizedRecord> words(std::size(kRecords));
  for (std::uint32_t i = 0; i < std::size(kRecords); ++i) {
    const auto& r = kRecords[i];
    StoredRecord stored = record(kA, i, r.component, 29, r.text);
    stored.arrived.record.strings = {r.component, r.file, r.function, r.text};
    entries.push_back(stored);
    words[i].assign(r.text, r.function, r.file, r.component);
  }
  SqliteStore(path, Access::kRecord).append(entries);
  SqliteStore reader(path, Access::kRead);
  for (const char* query : kQueries) {
    SCOPED_TRACE(query);
    std::vector<std::int64_t> inMemory;
    const remote::TextQuery parsed(query);
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (parsed.matches(words[i])) inMemory.push_back(static_cast<std::int64_t>(i) + 1);
    }
    EXPECT_EQ(inMemory, idsOf(rowsOf(reader, {.match = query})));
  }
  for (const char* query : kRefused) {
    SCOPED_TRACE(query);
    EXPECT_THROW(remote::TextQuery{query}, std::invalid_argument);
    EXPECT_ANY_THROW(rowsOf(reader, {.match = query}));
  }
  // The one form the store takes and a rule refuses, rather than mean
  // something else by it.
  EXPECT_THROW(remote::TextQuery{"NEAR(disk full)"}, std::invalid_argument);
}

// Context: the brute force marks, in each target's records, those within N
// of a match (the first `limit` in output order); each run of marked
// records is one group, and groups come in the order of their first match.
TEST_F(StoreFilterTest, ContextGroupsAgreeWithBruteForce) {
  static const Filter kCases[] = {
      {.match = "\"timeout timeout timeout\"", .context = 2},  // sparse matches
      {.match = "\"refused retry\"", .context = 3},            // dense: windows merge
      {.match = "\"refused retry\"", .context = 3, .reverse = true},
      {.regex = {.grep = {"^delta delta"}}, .context = 1, .limit = 4, .reverse = true},
  };
  SqliteStore reader(path, Access::kRead);
  for (const Filter& f : kCases) {
    SCOPED_TRACE(f.match + (f.regex.grep.empty() ? "" : f.regex.grep[0]));
    std::vector<std::int64_t> matches;
    std::map<std::string, std::vector<std::int64_t>> perTarget;  // ids, oldest first
    for (const auto& r : all) {
      if (f.regex.grep.empty() ? hasPhrase(r, f.match) : grep(r, f.regex.grep[0]))
        matches.push_back(r.id);
      perTarget[r.arrived.source].push_back(r.id);
    }
    if (f.reverse) std::reverse(matches.begin(), matches.end());
    if (f.limit && matches.size() > static_cast<std::size_t>(f.limit)) matches.resize(f.limit);
    const std::set<std::int64_t> isMatch(matches.begin(), matches.end());
    std::vector<std::pair<std::int64_t, std::string>> groups;  // first match, rows
    for (auto& [target, ids] : perTarget) {
      const std::size_t n = static_cast<std::size_t>(f.context);
      std::vector<bool> marked(ids.size());
      for (std::size_t p = 0; p < ids.size(); ++p) {
        if (!isMatch.count(ids[p])) continue;
        for (std::size_t k = p > n ? p - n : 0; k <= p + n && k < ids.size(); ++k) marked[k] = true;
      }
      if (f.reverse) {
        std::reverse(ids.begin(), ids.end());
        std::reverse(marked.begin(), marked.end());
      }
      for (std::size_t p = 0; p < ids.size(); ++p) {
        if (!marked[p]) continue;
        if (p == 0 || !marked[p - 1]) groups.emplace_back(0, "");
        if (isMatch.count(ids[p]) && groups.back().first == 0) groups.back().first = ids[p];
        groups.back().second += std::to_string(ids[p]) + (isMatch.count(ids[p]) ? ": " : "- ");
      }
    }
    std::sort(groups.begin(), groups.end(), [&](const auto& a, const auto& b) {
      return f.reverse ? a.first > b.first : a.first < b.first;
    });
    std::string expected, got;
    for (const auto& g : groups) expected += (expected.empty() ? "" : "-- ") + g.second;
    for (const auto& row : rowsOf(reader, f)) got += shown(row);
    ASSERT_GT(groups.size(), 2u);
    EXPECT_EQ(got, expected);
  }
}

// ---- what a store already holds ----

// A capture imported into a store that holds some of it: an entry is
// known by its target instance, sequence number and content, never by
// part of them, and one the capture holds twice goes in once.
TEST_F(StoreTest, KnownRecordsAreTheSameInstanceNumberAndContent) {
  const auto renamed = [](StoredRecord r) {
    r.applicationName = "renamed";
    return r;
  };
  const auto otherInstance = [](StoredRecord r) {
    r.arrived.record.uuid[15] ^= 1;
    return r;
  };
  const auto retick = [](StoredRecord r) {
    ++r.arrived.record.integers[2];
    return r;
  };
  {
    SqliteStore writer(path, Access::kRecord);
    writer.append(std::vector<Entry>{record(kA, 5, "net", 28, "five"), gap(kA, 6, 3),
                                     record(kA, 9, "net", 28, "nine"),
                                     record(kB, 5, "net", 28, "five")});
  }
  static const struct {
    const char* name;
    Entry entry;
    bool known;
  } kCases[] = {
      {"the same record", record(kA, 5, "net", 28, "five"), true},
      {"received at another time", record(kA, 9, "net", 28, "nine", kNow + kSecond), true},
      {"under another application name", renamed(record(kA, 5, "net", 28, "five")), true},
      {"the same gap", gap(kA, 6, 3), true},
      {"another number", record(kA, 7, "net", 28, "five"), false},
      {"the number come round again: other text", record(kA, 5, "net", 28, "five again"), false},
      {"the number come round again: other tick", retick(record(kA, 5, "net", 28, "five")), false},
      {"another level", record(kA, 5, "net", 29, "five"), false},
      {"another component", record(kA, 5, "db", 28, "five"), false},
      {"another instance at the address", otherInstance(record(kA, 5, "net", 28, "five")), false},
      {"another address", record(kC, 5, "net", 28, "five"), false},
      {"a gap of another length", gap(kA, 6, 2), false},
      {"a gap of another target", gap(kB, 6, 3), false},
      {"the same record of another target", record(kB, 5, "net", 28, "five"), true},
  };
  std::vector<Entry> entries;
  for (const auto& c : kCases) entries.push_back(c.entry);
  SqliteStore store(path, Access::kRecord);
  store::KnownRecords known(store, entries);
  for (const auto& c : kCases) EXPECT_EQ(known.add(c.entry), c.known) << c.name;
  // A second time, each is known: the capture held it twice.
  for (const auto& c : kCases) EXPECT_TRUE(known.add(c.entry)) << c.name;
}

// ---- retention ----

TEST_F(StoreTest, RetentionKeepsTheNewest) {
  static const struct {
    const char* name;
    store::Retention keep;
    std::int64_t oldestKept;  // of records 1..5000, received one second apart ending now
    std::size_t gapsKept;     // each batch of 1000 starts with a gap
  } kCases[] = {
      {"max records", {.maxRecords = 1500}, 3501, 1},
      {"max age", {.maxAge = std::chrono::seconds(600)}, 4400, 0},
      {"both: the stricter wins",
       {.maxRecords = 4000, .maxAge = std::chrono::seconds(600)},
       4400,
       0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fresh();
    {
      SqliteStore writer(path, Access::kRecord);
      writer.setRetention(c.keep);
      for (std::uint32_t batch = 0; batch < 5; ++batch) {
        std::vector<Entry> entries{gap(kA, 0, 1)};
        for (std::uint32_t n = batch * 1000 + 1; n <= batch * 1000 + 1000; ++n) {
          entries.push_back(record(kA, n, "net", 28, "x", kNow - (5000 - n) * kSecond));
        }
        // Each batch deletes a bounded number, which cannot keep up with
        // the first batches; trimming on its own then catches up.
        EXPECT_LE(writer.append(entries, at(kNow)), 1001 + SqliteStore::kTrimStep);
      }
      while (writer.trim(at(kNow), /*atMost=*/100) > 0) {
      }
    }
    SqliteStore reader(path, Access::kRead);
    const auto rows = rowsOf(reader, {});
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(std::get<StoredRecord>(rows.front().entry).arrived.record.sequence, c.oldestKept);
    EXPECT_EQ(reader.recordCount(), 5001 - c.oldestKept);
    EXPECT_EQ(store::collectStats(reader).records, reader.recordCount());  // counts follow
    // A gap older than the oldest record kept goes with it.
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(reader.recordCount()) + c.gapsKept);
  }
  // Ids are never reused, even once max-age has emptied the store.
  SqliteStore writer(path, Access::kRecord);
  writer.setRetention({.maxAge = std::chrono::seconds(1)});
  writer.trim(at(kNow + 3600 * kSecond), 10'000);
  EXPECT_EQ(writer.recordCount(), 0);
  writer.append(std::vector<Entry>{record(kA, 1, "net", 28, "x")}, at(kNow + 3600 * kSecond));
  EXPECT_EQ(writer.lastId(), 5006);
}

// ---- faults ----

// The kind of StoreError `action` throws, as a child's exit status; 100
// when it throws none.
int kindCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const store::StoreError& e) {
    return static_cast<int>(e.kind());
  }
  return 100;
}

// A refused query says which part the user got wrong by its kind, whatever
// the words of the regex engine or SQLite: a regex checked before the
// query runs, a full-text query when it first runs, and statistics alike.
TEST_F(StoreTest, ARefusedQueryNamesTheRegexOrTheFullTextByKind) {
  {
    SqliteStore writer(path, Access::kRecord);
    writer.append(std::vector<Entry>{record(kA, 1, "net", 28, "alpha")}, at(kNow));
  }
  SqliteStore reader(path, Access::kRead);
  const struct {
    std::string grep, match;
    Kind kind;
  } kCases[] = {
      {"(", "", Kind::kBadRegex},
      {"a{2,1}", "", Kind::kBadRegex},
      {"", "alpha AND AND", Kind::kBadMatch},
      {"", "\"open", Kind::kBadMatch},
      {"alp", "alpha AND AND", Kind::kBadMatch},
      {"(", "alpha", Kind::kBadRegex},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("grep '" + c.grep + "', match '" + c.match + "'");
    Filter filter;
    if (!c.grep.empty()) filter.regex.grep = {c.grep};
    filter.match = c.match;
    EXPECT_EQ(kindCode([&] { rowsOf(reader, filter); }), static_cast<int>(c.kind));
    EXPECT_EQ(kindCode([&] { store::collectStats(reader, filter); }), static_cast<int>(c.kind));
  }
}

// Read-only and full file systems, made in a mount namespace of a child
// (as root); its exit status is the StoreError kind it saw, or 100.
int inPrivateMount(const fs::path& dir, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") != 0) {
      _exit(101);
    }
    try {
      _exit(body());
    } catch (...) {
      _exit(103);
    }
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 102;
}

// What was committed is intact and readable.
bool sound(const std::string& path) {
  sqlite::Database check(path, sqlite::Database::Mode::kReadOnly);
  sqlite::Statement integrity(check, "PRAGMA integrity_check");
  return integrity.step() && integrity.columnText(0) == "ok";
}

TEST_F(StoreTest, AuditRowsGoInBesideARecorderAndIntoAnOlderStore) {
  SqliteStore(path, Access::kRecord).append(std::vector<Entry>{record(kA, 0, "db", 29, "one")});
  {  // Back to the schema before the audit trail.
    SqliteStore old(path, Access::kRecord);
    old.database().execute("DROP TABLE audit; PRAGMA user_version = 1");
  }
  const auto row = [](const std::string& component, const char* why) {
    AuditRow r;
    r.at = at(kNow);
    r.target = kA;
    r.component = component;
    r.maskBefore = 0xE0000000;
    r.maskAfter = 0xF0000000;
    r.by = "alice";
    r.why = why;
    return r;
  };
  SqliteStore(path, Access::kAudit).appendAudit(row("db", store::kAuditManual));  // migrates
  {
    SqliteStore recorder(path, Access::kRecord);
    SqliteStore audit(path, Access::kAudit);
    EXPECT_EQ(kindCode([&] { SqliteStore(path, Access::kRecord); }),
              static_cast<int>(Kind::kLocked));
    audit.appendAudit(row("ui", store::kAuditPolicy));
    recorder.append(std::vector<Entry>{record(kA, 1, "db", 29, "two")});
    audit.appendAudit(row("net", store::kAuditExpired));
  }
  SqliteStore reader(path, Access::kRead);
  EXPECT_EQ(kindCode([&] { reader.appendAudit(row("db", store::kAuditManual)); }),
            static_cast<int>(Kind::kReadOnly));
  std::string seen;
  for (const AuditRow& r : reader.audit({})) seen += r.component + " " + r.why + "; ";
  EXPECT_EQ(seen, "db manual; ui policy; net expired; ");
  // The records' counter went on as if no audit row had been written.
  EXPECT_EQ(reader.lastId(), 2);
  EXPECT_EQ(reader.recordCount(), 2);
}

TEST_F(StoreTest, ReadOnlyAndFullFileSystems) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  const int readOnly = inPrivateMount(dir, [&] {
    { SqliteStore(path, Access::kRecord); }
    if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 101;
    SqliteStore reader(path, Access::kRead);  // a reader still works
    return kindCode([&] { SqliteStore(path, Access::kRecord); });
  });
  if (readOnly == 101) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(readOnly, static_cast<int>(Kind::kReadOnly));
  const int full = inPrivateMount(dir, [&] {
    SqliteStore writer(path, Access::kRecord);
    std::vector<Entry> batch(100, record(kA, 1, "net", 28, std::string(500, 'x')));
    const int kind = kindCode([&] {
      for (;;) writer.append(batch);
    });
    return sound(path) && writer.recordCount() > 0 ? kind : 100;
  });
  EXPECT_EQ(full, static_cast<int>(Kind::kDiskFull));
}

// ---- crash safety ----

// The recorder is killed once its log has been copied into the file beside
// it (the file grew while the writer only appended), so a copy may be under
// way as it dies.
TEST_F(StoreTest, KillMidStreamLosesAtMostTheOpenBatch) {
  constexpr std::uint32_t kBatch = 200;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    SqliteStore writer(path, Access::kRecord);
    for (std::uint32_t n = 0;; n += kBatch) {
      std::vector<Entry> batch;
      for (std::uint32_t i = n; i < n + kBatch; ++i) {
        batch.push_back(record(kA, i, "net", 28, "text " + std::to_string(i)));
      }
      writer.append(batch);
      if (::write(ready[1], "b", 1) != 1) _exit(1);
    }
  }
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  const auto size = [&](const char* suffix) {
    return static_cast<std::int64_t>(fs::file_size(path + suffix));
  };
  const std::int64_t grown = size("") + store::WalCheckpointer::kStartPages * 4096 / 2;
  // Short of the log size at which the writer would copy it itself.
  const std::int64_t walLimit = store::WalCheckpointer::kLimitPages * 4096 / 2;
  for (int committed = 1; (committed < 20 || size("") < grown) && size("-wal") < walLimit;
       ++committed) {
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  }
  EXPECT_GE(size(""), grown);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);

  EXPECT_TRUE(sound(path));
  sqlite::Database(path, sqlite::Database::Mode::kReadWrite)
      .execute("INSERT INTO records_fts(records_fts) VALUES ('integrity-check')");
  SqliteStore reopened(path, Access::kRecord);  // the dead recorder's lock went with it
  const std::int64_t count = reopened.recordCount();
  EXPECT_GE(count, 20 * kBatch);
  EXPECT_EQ(count % kBatch, 0);
  EXPECT_EQ(store::collectStats(reopened, {.match = "text"}).records, count);
}

}  // namespace
