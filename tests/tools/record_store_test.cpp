// tests/tools/record_store_test.cpp
//
// The record store on real files: every field and every gap comes back as
// it went in; the filters, full-text queries and context groups agree with
// a brute-force pass over the same records; retention keeps the newest;
// files that are not ours, newer, read-only, full or already being
// recorded are refused with their own error; and a recorder killed with
// SIGKILL mid-stream leaves a sound store that lost at most its open batch.
//
// Threads: single-threaded gtest cases; the crash and mount cases fork.
#include "store/record_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "store/store_query.h"
#include "store/store_stats.h"

namespace {

namespace fs = std::filesystem;
using store::Entry;
using store::Filter;
using store::RecordStore;
using store::StoreError;
using Kind = StoreError::Kind;
using Access = RecordStore::Access;

constexpr std::int64_t kSecond = 1'000'000'000;
const std::int64_t kNow = 1'700'000'000 * kSecond;

remote::SystemClock::time_point at(std::int64_t ns) {
  return remote::SystemClock::time_point(std::chrono::nanoseconds(ns));
}

codec::Uuid uuidOf(const std::string& target) {
  codec::Uuid uuid{};
  std::copy_n(target.begin(), std::min(target.size(), uuid.size()), uuid.begin());
  return uuid;
}

store::StoredRecord record(const std::string& target, std::uint32_t sequence, const std::string& component,
                           int clientLevel, const std::string& text, std::int64_t ns = kNow) {
  store::StoredRecord r;
  r.arrived.source = target;
  r.arrived.receivedAt = at(ns);
  r.arrived.record.uuid = uuidOf(target);
  r.arrived.record.sequence = sequence;
  r.arrived.record.clientMask = clientLevel < 0 ? 0 : 1u << clientLevel;
  r.arrived.record.integers = {100, 7, static_cast<std::int32_t>(sequence), 42};
  r.arrived.record.strings = {component, "/src/" + component + ".cpp", component + "_run", text};
  r.applicationName = "app";
  return r;
}

store::StoredGap gap(const std::string& target, std::uint32_t first, std::uint32_t count) {
  return {0, target, uuidOf(target), "app", {first, count}, at(kNow)};
}

std::vector<store::Row> rowsOf(RecordStore& s, const Filter& filter) {
  std::vector<store::Row> rows;
  store::Query(s, filter).run([&](const store::Row& row) {
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

// The kind of StoreError `action` throws, as a child's exit status; 100
// when it throws none.
int kindCode(const std::function<void()>& action) {
  try {
    action();
  } catch (const StoreError& e) {
    return static_cast<int>(e.kind());
  }
  return 100;
}

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : dir(fs::path(::testing::TempDir()) / ("store-" + std::to_string(::getpid()))) {
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  ~StoreTest() override { fs::remove_all(dir); }

  fs::path dir;
  std::string path = (dir / "records.db").string();
};

// ---- round trip ----

TEST_F(StoreTest, EveryFieldAndGapComesBackInPlace) {
  std::vector<Entry> entries;
  store::StoredRecord edge = record("127.0.0.1:57008", 0xFFFFFFFF, "", 31, "");
  edge.arrived.record.integers = {-1, std::numeric_limits<std::int32_t>::min(), -2, 0x7FFFFFFF};  // tick 0xFFFFFFFE
  edge.arrived.record.strings = {"net", std::string(2000, 'f'), "f\xff\xfe", "caf\xc3\xa9 \xe2\x9c\x93"};
  edge.arrived.record.clientMask = 0x30000000;  // two bits: no single level
  edge.arrived.receivedAt = at(kNow + 123456789);
  edge.levelName = "warning/notice";
  entries.push_back(edge);
  entries.push_back(record("127.0.0.1:57008", 0, "db", 0, "after wrap"));
  entries.push_back(gap("127.0.0.1:57008", 1, 4));
  entries.push_back(gap("127.0.0.2:57009", 10, 1));
  entries.push_back(record("127.0.0.1:57008", 5, "db", 28, "after gap"));
  entries.push_back(record("127.0.0.2:57009", 11, "db", 28, "other target"));
  entries.push_back(gap("127.0.0.1:57008", 0xFFFFFFFE, 3));  // wraps: last missing is 0
  {
    RecordStore writer(path, Access::kRecord);
    writer.append(entries);
  }
  RecordStore reader(path, Access::kRead);
  const auto rows = rowsOf(reader, {});
  ASSERT_EQ(rows.size(), entries.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows[i].id(), static_cast<std::int64_t>(i + 1));
    if (const auto* want = std::get_if<store::StoredRecord>(&entries[i])) {
      const auto& got = std::get<store::StoredRecord>(rows[i].entry);
      EXPECT_EQ(got.arrived.receivedAt, want->arrived.receivedAt);
      EXPECT_EQ(got.arrived.source, want->arrived.source);
      EXPECT_EQ(got.arrived.record.uuid, want->arrived.record.uuid);
      EXPECT_EQ(got.arrived.record.sequence, want->arrived.record.sequence);
      EXPECT_EQ(got.arrived.record.clientMask, want->arrived.record.clientMask);
      EXPECT_EQ(got.arrived.record.integers, want->arrived.record.integers);
      EXPECT_EQ(got.arrived.record.strings, want->arrived.record.strings);
      EXPECT_EQ(got.applicationName, want->applicationName);
      EXPECT_EQ(got.levelName, want->levelName.empty() ? remote::recordLevelName(want->arrived.record.clientMask, {})
                                                       : want->levelName);
    } else {
      const auto& want_gap = std::get<store::StoredGap>(entries[i]);
      const auto& got = std::get<store::StoredGap>(rows[i].entry);
      EXPECT_EQ(got.target, want_gap.target);
      EXPECT_EQ(got.uuid, want_gap.uuid);
      EXPECT_EQ(got.gap.first, want_gap.gap.first);
      EXPECT_EQ(got.gap.count, want_gap.gap.count);
      EXPECT_EQ(got.seenAt, want_gap.seenAt);
    }
  }
  // Gaps follow the target filter, the order and the limit.
  static const struct {
    const char* name;
    Filter filter;
    std::vector<std::int64_t> ids;
  } kCases[] = {
      {"one target", {.targets = {"127.0.0.2:57009"}}, {4, 6}},
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
  EXPECT_EQ(stats.records, 4);
  EXPECT_EQ(stats.gaps, 3);
  EXPECT_EQ(stats.lost, 8);
  ASSERT_EQ(stats.targets.size(), 2u);
  EXPECT_EQ(stats.targets[0].lost, 7);
}

// A reader that follows sees what a recorder committed since its last run,
// and nothing twice.
TEST_F(StoreTest, FollowShowsOnlyWhatCameLater) {
  RecordStore writer(path, Access::kRecord);
  RecordStore reader(path, Access::kRead);
  const auto append = [&](std::vector<std::string> texts) {
    std::vector<Entry> entries;
    for (const auto& text : texts) entries.push_back(record("127.0.0.1:57008", 0, "net", 28, text));
    writer.append(entries);
  };
  append({"alpha", "alpha", "beta"});
  store::Query follow(reader, {.match = "alpha", .context = 1});
  const auto next = [&] {
    std::string shown;
    follow.resumeAfter(follow.run([&](const store::Row& row) {
      shown += std::to_string(row.id()) + (row.contextOnly ? "- " : ": ");
      return true;
    }));
    return shown;
  };
  EXPECT_EQ(next(), "1: 2: 3- ");
  EXPECT_EQ(next(), "");
  append({"beta", "alpha"});
  EXPECT_EQ(next(), "4- 5: ");
}

// ---- filters against brute force ----

class StoreFilterTest : public StoreTest {
 protected:
  StoreFilterTest() {
    std::mt19937 random(7);
    const char* words[] = {"alpha", "beta", "gamma", "delta", "timeout", "refused", "retry"};
    const char* components[] = {"net", "db", "ui", "core"};
    const char* targets[] = {"127.0.0.1:57008", "127.0.0.1:57009", "127.0.0.2:57010"};
    std::vector<Entry> entries;
    for (std::uint32_t i = 0; i < 1500; ++i) {
      std::string text;
      for (int w = 0; w < 4; ++w) text += std::string(words[random() % 7]) + (w < 3 ? " " : "");
      const int level = random() % 10 == 0 ? -1 : 27 + static_cast<int>(random() % 5);
      entries.push_back(record(targets[random() % 3], i, components[random() % 4], level, text,
                               kNow + i * kSecond));
    }
    RecordStore writer(path, Access::kRecord);
    writer.append(entries);
    for (const Entry& e : entries) all.push_back(std::get<store::StoredRecord>(e));
    for (std::size_t i = 0; i < all.size(); ++i) all[i].id = static_cast<std::int64_t>(i + 1);
  }

  static std::vector<std::string> tokens(const std::string& text) {
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
  static bool hasPhrase(const std::string& text, const std::vector<std::string>& phrase) {
    const auto t = tokens(text);
    return std::search(t.begin(), t.end(), phrase.begin(), phrase.end()) != t.end();
  }
  static int levelOf(const store::StoredRecord& r) { return remote::recordClientLevel(r.arrived.record.clientMask); }
  static const std::string& text(const store::StoredRecord& r) { return r.arrived.record.strings[3]; }
  static const std::string& component(const store::StoredRecord& r) { return r.arrived.record.strings[0]; }

  std::vector<store::StoredRecord> all;
};

TEST_F(StoreFilterTest, QueriesAgreeWithBruteForce) {
  using Pred = std::function<bool(const store::StoredRecord&)>;
  static const struct {
    const char* name;
    Filter filter;
    Pred pass;
  } kCases[] = {
      {"component", {.components = {"net"}}, [](const auto& r) { return component(r) == "net"; }},
      {"components and minimum level", {.components = {"net", "db"}, .minClientLevel = 30},
       [](const auto& r) { return (component(r) == "net" || component(r) == "db") && (levelOf(r) >= 30 || levelOf(r) < 0); }},
      {"level set", {.clientLevels = {27, 29}}, [](const auto& r) { return levelOf(r) == 27 || levelOf(r) == 29; }},
      {"target and time range", {.sinceNs = kNow + 100 * kSecond, .untilNs = kNow + 900 * kSecond, .targets = {"127.0.0.1:57009"}},
       [](const auto& r) {
         const auto ns = r.arrived.receivedAt.time_since_epoch().count();
         return r.arrived.source == "127.0.0.1:57009" && ns >= kNow + 100 * kSecond && ns < kNow + 900 * kSecond;
       }},
      {"grep", {.grep = "^(alpha|beta) .*retry$"}, [](const auto& r) { return std::regex_search(text(r), std::regex("^(alpha|beta) .*retry$")); }},
      {"full-text word, any column", {.match = "timeout"}, [](const auto& r) { return hasPhrase(text(r), {"timeout"}); }},
      {"full-text word in the component", {.match = "net"}, [](const auto& r) { return component(r) == "net"; }},
      {"full-text phrase and level", {.minClientLevel = 31, .match = "\"alpha beta\""},
       [](const auto& r) { return hasPhrase(text(r), {"alpha", "beta"}) && (levelOf(r) >= 31 || levelOf(r) < 0); }},
      {"full-text column filter and grep", {.grep = "gamma", .match = "text : refused AND component : ui"},
       [](const auto& r) { return hasPhrase(text(r), {"refused"}) && component(r) == "ui" && text(r).find("gamma") != std::string::npos; }},
  };
  RecordStore reader(path, Access::kRead);
  for (const auto& c : kCases) {
    for (const bool reverse : {false, true}) {
      for (const std::int64_t limit : {0, 5}) {
        SCOPED_TRACE(std::string(c.name) + (reverse ? ", reversed" : "") + (limit ? ", limit 5" : ""));
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
          EXPECT_EQ(store::collectStats(reader, filter).records, static_cast<std::int64_t>(expected.size()));
        }
      }
    }
  }
}

// Context: each match with the N records of its target on either side,
// overlapping or touching windows of one target joined, groups in the order
// of their first match.
TEST_F(StoreFilterTest, ContextGroupsAgreeWithBruteForce) {
  static const struct {
    const char* name;
    Filter filter;
  } kCases[] = {
      {"sparse matches", {.match = "\"timeout timeout timeout\"", .context = 2}},
      {"dense matches merge", {.match = "\"refused retry\"", .context = 3}},
      {"limit and reverse", {.grep = "^delta delta", .context = 1, .limit = 4, .reverse = true}},
  };
  RecordStore reader(path, Access::kRead);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Filter& f = c.filter;
    std::map<std::string, std::vector<std::int64_t>> perTarget;  // ids in order
    std::vector<std::int64_t> matches;
    for (const auto& r : all) {
      perTarget[r.arrived.source].push_back(r.id);
      const bool hit = f.grep.empty() ? hasPhrase(text(r), tokens(f.match)) : std::regex_search(text(r), std::regex(f.grep));
      if (hit) matches.push_back(r.id);
    }
    if (f.reverse) std::reverse(matches.begin(), matches.end());
    if (f.limit && matches.size() > static_cast<std::size_t>(f.limit)) matches.resize(f.limit);
    // Windows as positions in the target's list; joined when they touch.
    struct Group { std::string target; std::size_t lo, hi; std::int64_t first; };
    std::vector<Group> groups;
    std::map<std::string, std::vector<std::pair<std::size_t, std::int64_t>>> hits;  // position, id
    for (std::int64_t id : matches) {
      const std::string& t = all[static_cast<std::size_t>(id - 1)].arrived.source;
      const auto& list = perTarget[t];
      hits[t].emplace_back(std::lower_bound(list.begin(), list.end(), id) - list.begin(), id);
    }
    for (auto& [t, h] : hits) {
      std::sort(h.begin(), h.end());
      const std::size_t n = static_cast<std::size_t>(f.context), size = perTarget[t].size();
      for (std::size_t i = 0; i < h.size(); ++i) {
        const std::size_t lo = h[i].first >= n ? h[i].first - n : 0, hi = std::min(h[i].first + n, size - 1);
        if (i > 0 && lo <= groups.back().hi + 1) {
          groups.back().hi = std::max(groups.back().hi, hi);
          groups.back().first = f.reverse ? std::max(groups.back().first, h[i].second) : std::min(groups.back().first, h[i].second);
        } else {
          groups.push_back({t, lo, hi, h[i].second});
        }
      }
    }
    std::sort(groups.begin(), groups.end(), [&](const Group& a, const Group& b) { return f.reverse ? a.first > b.first : a.first < b.first; });
    std::ostringstream expected, got;
    for (const Group& g : groups) {
      if (&g != &groups.front()) expected << "-- ";
      const auto& list = perTarget[g.target];
      for (std::size_t k = 0; k <= g.hi - g.lo; ++k) {
        const std::int64_t id = list[f.reverse ? g.hi - k : g.lo + k];
        expected << id << (std::find(matches.begin(), matches.end(), id) != matches.end() ? ": " : "- ");
      }
    }
    for (const auto& row : rowsOf(reader, f)) got << (row.separatorBefore ? "-- " : "") << row.id() << (row.contextOnly ? "- " : ": ");
    ASSERT_GT(groups.size(), 2u);
    EXPECT_EQ(got.str(), expected.str());
  }
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
      {"both: the stricter wins", {.maxRecords = 4000, .maxAge = std::chrono::seconds(600)}, 4400, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    {
      RecordStore writer(path, Access::kRecord);
      writer.setRetention(c.keep);
      for (std::uint32_t batch = 0; batch < 5; ++batch) {
        std::vector<Entry> entries{gap("127.0.0.1:57008", 0, 1)};
        for (std::uint32_t i = 1; i <= 1000; ++i) {
          const std::uint32_t n = batch * 1000 + i;
          entries.push_back(record("127.0.0.1:57008", n, "net", 28, "x", kNow - (5000 - n) * kSecond));
        }
        // Each batch deletes a bounded number, which cannot keep up with
        // the first batches; trimming on its own then catches up.
        EXPECT_LE(writer.append(entries, at(kNow)), 1001 + RecordStore::kTrimStep);
      }
      while (writer.trim(at(kNow), /*atMost=*/100) > 0) {
      }
    }
    RecordStore reader(path, Access::kRead);
    const auto rows = rowsOf(reader, {});
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(std::get<store::StoredRecord>(rows.front().entry).arrived.record.sequence, c.oldestKept);
    EXPECT_EQ(reader.recordCount(), 5001 - c.oldestKept);
    EXPECT_EQ(store::collectStats(reader).records, reader.recordCount());  // the counts follow deletions
    // A gap older than the oldest record kept goes with it.
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(reader.recordCount()) + c.gapsKept);
  }
  // Ids are never reused, even once max-age has emptied the store.
  {
    RecordStore writer(path, Access::kRecord);
    writer.setRetention({.maxAge = std::chrono::seconds(1)});
    writer.trim(at(kNow + 3600 * kSecond), 10'000);
    EXPECT_EQ(writer.recordCount(), 0);
  }
  RecordStore writer(path, Access::kRecord);
  const std::vector<Entry> one{record("127.0.0.1:57008", 1, "net", 28, "x")};
  writer.append(one);
  EXPECT_EQ(writer.lastId(), 5006);
}

// ---- faults ----

std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(StoreTest, RefusesWhatItCannotUse) {
  using Holder = std::optional<RecordStore>;
  const auto raw = [](const std::string& p, const char* sql) {
    sqlite::Database(p, sqlite::Database::Mode::kReadWriteCreate).execute(sql);
  };
  const auto withRecord = [](const std::string& p, Holder& h) {
    h.emplace(p, Access::kRecord);
    const std::vector<Entry> one{record("127.0.0.1:57008", 1, "net", 28, "x")};
    h->append(one);
  };
  const auto recorder = [](const std::string& p, Holder&) { RecordStore(p, Access::kRecord); };
  const struct {
    const char* name;
    std::function<void(const std::string&, Holder&)> setup, action;
    Kind kind;
    std::string words;  // in the message
  } kCases[] = {
      {"text file", [](const std::string& p, Holder&) { std::ofstream(p) << std::string(4096, 'x'); }, recorder,
       Kind::kNotOurs, "not a record store"},
      {"another application's database", [&](const std::string& p, Holder&) { raw(p, "CREATE TABLE t(x)"); },
       recorder, Kind::kNotOurs, "another application"},
      {"newer schema",
       [&](const std::string& p, Holder& h) {
         recorder(p, h);
         raw(p, "PRAGMA user_version = 99");
       },
       recorder, Kind::kNewerSchema, "schema version 99"},
      {"missing file for a reader", [](const std::string&, Holder&) {},
       [](const std::string& p, Holder&) { RecordStore(p, Access::kRead); }, Kind::kCannotOpen, "cannot open"},
      {"second recorder", [](const std::string& p, Holder& h) { h.emplace(p, Access::kRecord); }, recorder,
       Kind::kLocked, "another recorder is writing to this store (pid "},
      {"full-text syntax", withRecord, [](const std::string&, Holder& h) { rowsOf(*h, {.match = "alpha AND AND"}); },
       Kind::kBadQuery, "fts5: syntax error"},
      {"regex", withRecord, [](const std::string&, Holder& h) { rowsOf(*h, {.grep = "(unclosed"}); },
       Kind::kBadQuery, "invalid regex '(unclosed': "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    Holder holder;
    c.setup(path, holder);
    const std::string before = bytesOf(path);
    try {
      c.action(path, holder);
      ADD_FAILURE() << "no StoreError";
    } catch (const StoreError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
    }
    EXPECT_EQ(bytesOf(path), before) << "the file was changed";
  }
}

// Read-only and full file systems, made in a mount namespace of a child
// (as root); its exit status is the StoreError kind it saw, or 100.
int inPrivateMount(const fs::path& dir, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(101);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") != 0) _exit(101);
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

TEST_F(StoreTest, ReadOnlyAndFullFileSystems) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  const int readOnly = inPrivateMount(dir, [&] {
    { RecordStore(path, Access::kRecord); }
    if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return 101;
    RecordStore reader(path, Access::kRead);  // a reader still works
    return kindCode([&] { RecordStore(path, Access::kRecord); });
  });
  if (readOnly == 101) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(readOnly, static_cast<int>(Kind::kReadOnly));
  const int full = inPrivateMount(dir, [&] {
    RecordStore writer(path, Access::kRecord);
    std::vector<Entry> batch(100, record("127.0.0.1:57008", 1, "net", 28, std::string(500, 'x')));
    const int kind = kindCode([&] {
      for (;;) writer.append(batch);
    });
    // What was committed before is intact and still readable.
    sqlite::Database check(path, sqlite::Database::Mode::kReadOnly);
    sqlite::Statement ok(check, "PRAGMA integrity_check");
    return ok.step() && ok.columnText(0) == "ok" && writer.recordCount() > 0 ? kind : 100;
  });
  EXPECT_EQ(full, static_cast<int>(Kind::kDiskFull));
}

// ---- crash safety ----

TEST_F(StoreTest, KillMidStreamLosesAtMostTheOpenBatch) {
  constexpr std::uint32_t kBatch = 200;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ready[0]);
    RecordStore writer(path, Access::kRecord);
    for (std::uint32_t n = 0;; n += kBatch) {
      std::vector<Entry> batch;
      for (std::uint32_t i = n; i < n + kBatch; ++i) batch.push_back(record("127.0.0.1:57008", i, "net", 28, "text " + std::to_string(i)));
      writer.append(batch);
      if (::write(ready[1], "b", 1) != 1) _exit(1);
    }
  }
  ::close(ready[1]);
  char byte;
  for (int committed = 0; committed < 20; ++committed) ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ::close(ready[0]);

  {
    sqlite::Database check(path, sqlite::Database::Mode::kReadWrite);
    sqlite::Statement integrity(check, "PRAGMA integrity_check");
    ASSERT_TRUE(integrity.step());
    EXPECT_EQ(integrity.columnText(0), "ok");
    check.execute("INSERT INTO records_fts(records_fts) VALUES ('integrity-check')");
  }
  RecordStore reopened(path, Access::kRecord);  // the dead recorder's lock went with it
  const std::int64_t count = reopened.recordCount();
  EXPECT_GE(count, 20 * kBatch);
  EXPECT_EQ(count % kBatch, 0);
  const store::Stats stats = store::collectStats(reopened, {.match = "text"});
  EXPECT_EQ(stats.records, count);
}

}  // namespace
