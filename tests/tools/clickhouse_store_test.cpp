// tests/tools/clickhouse_store_test.cpp
//
// The store on a real ClickHouse server (clickhouse_server.h), each case
// with its own: every byte of every field comes back as it went in; a
// batch sent twice, by the same relay or after a restart, shows once, to
// a plain query, to statistics and to a follower, which also sees a batch
// that lands late exactly once; a server that is gone is kUnavailable
// and takes the same batch again when it is back; --max-age drops whole
// days and leaves the audit rows; `query` gives the same
// output on ClickHouse as on SQLite for one capture imported into both,
// query by query; wrong credentials, databases and tables are refused
// with a message naming the store and never the password, and so is a
// server whose TLS certificate is not trusted; `record --discover` stores
// what a real example host sends; and two servers as the two shards of a
// cluster: relays insert through a Distributed table, each record on the
// shard of its target, and query, statistics and the console through
// either server show every record once; an insert a shard cannot take
// fails rather than waiting in a queue.
//
// Threads: gtest's thread runs the cases and the tools as child processes;
// the scripted targets answer on threads of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "clickhouse_server.h"
#include "scripted_target.h"
#include "store/clickhouse_rows.h"
#include "store/store.h"
#include "tool_process.h"

namespace {

using namespace tooltest;
using store::Entry;
using store::StoredRecord;
using Kind = store::StoreError::Kind;

constexpr std::int64_t kSecond = 1'000'000'000;
const std::int64_t kNow = 1'700'000'000 * kSecond;
const std::string kA = "127.0.0.1:57008", kB = "127.0.0.2:57009";

remote::SystemClock::time_point at(std::int64_t ns) {
  return remote::SystemClock::time_point(std::chrono::nanoseconds(ns));
}

StoredRecord record(const std::string& target, std::uint32_t sequence, const std::string& text,
                    std::int64_t ns = kNow) {
  StoredRecord r;
  codec::Uuid uuid{};
  std::copy_n(target.begin(), std::min(target.size(), uuid.size()), uuid.begin());
  r.arrived = {{uuid,
                sequence,
                {100, 7, static_cast<std::int32_t>(sequence), 42},
                1u << 29,
                {"net", "/src/net.cpp", "run", text}},
               at(ns + sequence),
               target};
  r.applicationName = "app";
  return r;
}

// A record's or gap's fields as text, ids left out (the store makes them).
std::string fields(const Entry& e) {
  if (const auto* r = std::get_if<StoredRecord>(&e)) {
    const auto& a = r->arrived;
    const std::string level =
        r->levelName.empty() ? remote::recordLevelName(a.record.clientMask, {}) : r->levelName;
    return testing::PrintToString(std::make_tuple(
        a.receivedAt, a.source, a.record.uuid, a.record.sequence, a.record.clientMask,
        a.record.integers, a.record.strings, r->applicationName, level));
  }
  const auto& g = std::get<store::StoredGap>(e);
  return testing::PrintToString(
      std::make_tuple(g.target, g.uuid, g.applicationName, g.gap.first, g.gap.count, g.seenAt));
}

std::vector<std::string> run(store::Query& query, std::int64_t* high = nullptr) {
  std::vector<std::string> rows;
  const std::int64_t newest = query.run([&](const store::Row& row) {
    rows.push_back(fields(row.entry));
    return true;
  });
  if (high) *high = newest;
  return rows;
}

// tarvin-remote run to its end (tool_process.h); the namespace remote of
// the store's headers hides that name here.
Outcome tool(std::vector<std::string> args, int expectedExit = 0) {
  return tooltest::remote(std::move(args), expectedExit);
}

std::vector<std::string> fieldsOf(const std::vector<Entry>& entries) {
  std::vector<std::string> out;
  for (const Entry& e : entries) out.push_back(fields(e));
  return out;
}

class ClickHouseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ClickHouseServer::installed()) GTEST_SKIP() << "no clickhouse-server here";
    ASSERT_TRUE(server.start()) << server.directory();
    server.sql("CREATE DATABASE logs");
  }
  std::unique_ptr<store::Store> open(store::Access access) {
    return store::openStore(server.url("logs"), access);
  }

  ClickHouseServer server{8123, 9000, /*tls=*/true};
};

TEST_F(ClickHouseTest, EveryByteOfEveryFieldComesBack) {
  StoredRecord edge = record(kA, 0xFFFFFFFF, "");
  edge.arrived.record.integers = {-1, std::numeric_limits<std::int32_t>::min(), -2, 0x7FFFFFFF};
  // Quotes, backslashes, tabs, newlines, NUL, invalid UTF-8, every byte.
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  edge.arrived.record.strings = {"n'e\"t\\", std::string("a\0b\tc\nd\re", 9) + "\xff\xfe",
                                 std::string(70000, 'f'), everyByte};
  edge.arrived.record.clientMask = 0x30000000;  // two bits: no single level
  edge.levelName = "warning/notice\t'\n";
  edge.applicationName = std::string("app\0\x80", 5);
  const std::vector<Entry> entries{
      edge, record(kA, 0, "after wrap"),
      store::StoredGap{{kA, edge.arrived.record.uuid, {1, 4}, at(kNow + 5)}, 0, "app\n"},
      record(kB, 11, "other target")};
  open(store::Access::kRecord)->append(entries);
  const auto reader = open(store::Access::kRead);
  EXPECT_EQ(run(*reader->query({})), fieldsOf(entries));
  reader->query({})->run([](const store::Row& row) {
    EXPECT_LT(row.id(), std::int64_t{1} << 53) << "the console's JavaScript would round it";
    return true;
  });
  EXPECT_EQ(reader->targets(), (std::vector<std::string>{kA, kB}));
  EXPECT_EQ(reader->components(), (std::vector<std::string>{"n'e\"t\\", "net"}));
  EXPECT_EQ(reader->recordCount(), 3);
}

TEST_F(ClickHouseTest, ABatchSentTwiceShowsOnceToEveryReader) {
  std::vector<Entry> batch;
  for (std::uint32_t n = 0; n < 5; ++n)
    batch.push_back(record(kA, n, "first " + std::to_string(n)));
  {
    const auto relay = open(store::Access::kRecord);
    relay->append(batch);
    relay->append(batch);  // the answer to the first was lost
  }
  const auto reader = open(store::Access::kRead);
  auto follower = reader->query({});
  std::int64_t high = 0;
  EXPECT_EQ(run(*follower, &high), fieldsOf(batch));
  follower->resumeAfter(high);

  // A relay killed mid-insert sends its spool again after a restart (new
  // ids), with what came since.
  std::vector<Entry> resent = batch;
  resent.push_back(record(kA, 5, "second 5"));
  open(store::Access::kRecord)->append(resent);
  EXPECT_EQ(run(*follower, &high), fieldsOf({resent.back()}));
  follower->resumeAfter(high);
  EXPECT_EQ(run(*reader->query({})), fieldsOf(resent));
  EXPECT_EQ(reader->stats({}).records, 6);
  EXPECT_EQ(reader->recordCount(), 6);
  // A page after the second row: a copy of the first two, later, is no news.
  std::int64_t second = 0;
  reader->query({.limit = 2})->run([&](const store::Row& row) {
    second = row.id();
    return true;
  });
  EXPECT_EQ(run(*reader->query({.afterId = second})), fieldsOf({resent.begin() + 2, resent.end()}));

  // A batch another relay numbered before the follower's last look, landing
  // only now, comes once; the look after shows nothing again.
  server.sql(
      "INSERT INTO logs.records (kind, id, received_ns, target, uuid, sequence, "
      "client_level, text) VALUES (0, 1, " +
      std::to_string(kNow) + ", '" + kB + "', 'late', 7, -1, 'late one')");
  const auto late = run(*follower, &high);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_TRUE(late[0].find("late one") != std::string::npos) << late[0];
  follower->resumeAfter(high);
  EXPECT_TRUE(run(*follower, &high).empty());

  // The newest two, then what comes (query -n 2 --follow): the rows
  // before them, though inserted just now too, are no news.
  const std::int64_t newest =
      reader->query({.limit = 2, .reverse = true})->run([](auto&) { return true; });
  const auto live = reader->query({.afterId = newest});
  EXPECT_TRUE(run(*live, &high).empty());
  live->resumeAfter(high);
  EXPECT_TRUE(run(*live, &high).empty());

  // The newest three, after the oldest came again: its copy has the
  // newest id, and is left out all the same.
  open(store::Access::kRecord)->append(std::vector<Entry>{batch[0]});
  EXPECT_EQ(run(*reader->query({.limit = 3, .reverse = true})),
            fieldsOf({resent[5], resent[4], resent[3]}));
}

TEST_F(ClickHouseTest, AServerThatIsGoneTakesTheSameBatchWhenBack) {
  const auto relay = open(store::Access::kRecord);
  const std::vector<Entry> batch{record(kA, 1, "one"), record(kA, 2, "two")};
  const std::vector<Entry> later{record(kB, 1, "three")};
  relay->append(batch);
  server.signal(SIGKILL);
  // A relay that starts now is made, and prepares its store once it can.
  const auto starting = open(store::Access::kRecord);
  for (store::Store* writer : {relay.get(), starting.get()}) {
    try {
      writer->append(writer == relay.get() ? batch : later);
      ADD_FAILURE() << "appended to a server that is gone";
    } catch (const store::StoreError& e) {
      EXPECT_EQ(e.kind(), Kind::kUnavailable) << e.what();
    }
  }
  ASSERT_TRUE(server.start());
  relay->append(batch);
  starting->append(later);
  std::vector<Entry> all = batch;
  all.push_back(later[0]);
  EXPECT_EQ(run(*open(store::Access::kRead)->query({})), fieldsOf(all));
}

TEST_F(ClickHouseTest, MaxAgeDropsWholeDaysAndAuditRowsStay) {
  const auto relay = open(store::Access::kRecord);
  constexpr std::int64_t kDay = 86'400 * kSecond;
  const std::int64_t now = store::nanosecondsOf(remote::SystemClock::now());
  std::vector<Entry> entries;
  for (int daysAgo : {9, 8, 3, 0})
    entries.push_back(record(kA, 10 - daysAgo, "old", now - daysAgo * kDay));
  relay->append(entries);
  store::AuditRow change{0,       at(now),         kA,    "app",   "net\t'x'", 1, 3,
                         "error", "error,warning", "bob", "manual"};
  relay->appendAudit(change);
  relay->setRetention({.maxAge = std::chrono::nanoseconds(5 * kDay)});
  // Five days kept: the days nine and eight days back go whole, the rest stay.
  EXPECT_EQ(relay->trim(at(now)), 2);
  std::vector<Entry> kept(entries.begin() + 2, entries.end());
  EXPECT_EQ(run(*open(store::Access::kRead)->query({})), fieldsOf(kept));
  store::AuditFilter ofHost, ofDb;
  ofHost.targets = {"127.0.0.1"};
  ofDb.components = {"db"};
  const auto audit = open(store::Access::kRead)->audit(ofHost);
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(std::tie(audit[0].component, audit[0].levelsAfter, audit[0].by, audit[0].maskAfter),
            std::tie(change.component, change.levelsAfter, change.by, change.maskAfter));
  EXPECT_TRUE(open(store::Access::kRead)->audit(ofDb).empty());
}

// ---- the tools ----

// Output with each JSON "id" as "id":_ : each engine numbers its rows its
// own way (SQLite counts, ClickHouse relays take their clocks).
std::string withoutIds(const std::string& out) {
  static const std::regex kId("\"id\":[0-9]+");
  return std::regex_replace(out, kId, "\"id\":_");
}

// Components, levels and texts that every filter of the table below
// tells apart; odd numbers come from a second target.
ScriptedRecord parityRecord(std::uint32_t n) {
  static const char* const kTexts[] = {
      "disk full on /var",    "Connection reset by peer", "retry 3 of 5",
      "user 'bob' logged in", "tab\there and \"quotes\"", "cache miss: key=a.b.c"};
  return {n % 3 == 0 ? "db" : (n % 3 == 1 ? "net" : "ui"),
          n % 4 == 0 ? 31u : (n % 4 == 1 ? 29u : 28u),
          std::string(kTexts[n % 6]) + " #" + std::to_string(n),
          "/src/f" + std::to_string(n % 2) + ".cpp", n % 5 == 0 ? "flush" : "run"};
}

TEST_F(ClickHouseTest, QueriesAnswerAsOnSqliteForOneCapture) {
  const std::string dir = server.directory();
  const std::string capture = dir + "/parity.pcap", live = dir + "/live.db",
                    lite = dir + "/imported.db";
  ScriptedTarget one(parityRecord), two(parityRecord);
  {
    Child recorder(
        {TARVIN_REMOTE_BIN, "record", "--db", live, one.target(), two.target(), "--pcap", capture});
    ASSERT_TRUE(one.waitForClients(1) && two.waitForClients(1)) << recorder.seen().err;
    one.send(20);
    two.send(10);
    one.send(10, /*skip=*/3);
    two.send(15);
    std::this_thread::sleep_for(1s);
    recorder.finish(SIGTERM);
  }
  const std::string ch = server.url("logs");
  open(store::Access::kRecord);  // the tables, for a follower from the start
  Child follower({TARVIN_REMOTE_BIN, "query", "--db", ch, "--follow", "--json"});
  tool({"record", "--db", lite, "--import", capture}, 1);  // 1: the capture lost records
  tool({"record", "--db", ch, "--import", capture}, 1);
  static const std::vector<std::vector<std::string>> kQueries = {
      {},
      {"--json"},
      {"--limit", "7"},
      {"--reverse", "--limit", "5"},
      {"-n", "4"},
      {"--grep", "^(disk|retry) [0-9f]"},
      {"--grep", "RESET", "-i"},
      {"--exclude", "#1[0-9]$", "--component", "db"},
      {"--grep", "f1\\.cpp|flush", "--limit", "3", "--json"},
      {"--match", "connection reset"},
      {"--match", "\"logged in\" OR cach*"},
      {"--match", "function:flush NOT disk"},
      {"--match", "key a b"},
      {"--match", "log OR disk OR miss*"},  // whole words: "logged" is not "log"
      {"--component", "net", "--component", "ui"},
      {"--min-level", "error"},
      {"--level", "29,28", "--reverse"},
      {"--context", "1", "--grep", "retry"},
      {"--context", "2", "--grep", "#2[0-9]$", "--reverse"},
      {"--context", "1", "--match", "quotes", "--limit", "2"},
      {"--since", "1h", "--until", "now", "-n", "2"},
      {"--stats"},
      {"--stats", "--json", "--grep", "disk"},
      {"--stats", "--component", "db"},
  };
  for (const std::string& target : {std::string(), one.target()}) {
    for (std::vector<std::string> args : kQueries) {
      if (!target.empty()) args.insert(args.end(), {"--target", target});
      std::vector<std::string> onSqlite = {"query", "--db", lite};
      onSqlite.insert(onSqlite.end(), args.begin(), args.end());
      std::vector<std::string> onClickHouse = {"query", "--db", ch};
      onClickHouse.insert(onClickHouse.end(), args.begin(), args.end());
      SCOPED_TRACE(::testing::PrintToString(args));
      const std::string expected = withoutIds(tool(onSqlite).out);
      EXPECT_FALSE(expected.empty());
      EXPECT_EQ(withoutIds(tool(onClickHouse).out), expected);
    }
  }
  // Imported again: nothing stored twice.
  const Outcome again = tool({"record", "--db", ch, "--import", capture}, 1);
  EXPECT_TRUE(contains(again.err, "stored 0 records")) << again.err;
  EXPECT_EQ(tool({"query", "--db", ch, "--stats"}).out,
            tool({"query", "--db", lite, "--stats"}).out);
  // What a viewer's targets panel shows, the same from either engine.
  const auto seen = [](const std::string& location) {
    std::string shown;
    for (const store::SeenTarget& t :
         store::openStore(location, store::Access::kRead)->seenTargets()) {
      shown += t.target + " " + t.application + " " + t.uuid + " " +
               std::to_string(t.lastRecord.time_since_epoch().count()) + " " +
               std::to_string(t.records) + " " + std::to_string(t.gaps) + " " +
               std::to_string(t.lost) + " " + ::testing::PrintToString(t.components) + "\n";
    }
    return shown;
  };
  EXPECT_EQ(seen(ch), seen(lite));
  EXPECT_TRUE(contains(seen(lite), one.target() + " ")) << seen(lite);
  // The follower saw it all, once, in order; the second import added nothing.
  const std::string all = withoutIds(tool({"query", "--db", lite, "--json"}).out);
  EXPECT_TRUE(
      follower.waitFor([&](const Outcome& o) { return lines(o.out).size() >= lines(all).size(); }));
  std::this_thread::sleep_for(1s);  // four more looks
  EXPECT_EQ(withoutIds(follower.finish(SIGTERM).out), all);
}

TEST_F(ClickHouseTest, RefusalsNameTheStoreNeverThePassword) {
  const std::string dir = server.directory();
  const std::string wrong = dir + "/wrong", right = dir + "/right";
  std::ofstream(wrong) << "not-the-password\n";
  std::ofstream(right) << ClickHouseServer::kPassword << "\n";
  server.sql("CREATE TABLE logs.foreign (kind UInt8, id String, extra Float64) ENGINE = Memory");
  const std::string base = "127.0.0.1:" + std::to_string(server.port());
  static const struct {
    std::vector<std::string> args;
    std::string message;
    int exit = 1;
  } kCases[] = {
      {{"query", "--db", "clickhouse://writer@" + base + "/logs", "--db-password-file", wrong},
       "clickhouse://writer@" + base + "/logs: the server refused the user or password"},
      {{"query", "--db", "clickhouse://nobody@" + base + "/logs"}, "refused the user or password"},
      {{"query", "--db", "clickhouse://" + base + "/nologs"},
       "clickhouse://" + base + "/nologs: no such database"},
      {{"query", "--db",
        "clickhouse://writer:" + std::string(ClickHouseServer::kPassword) + "@" + base + "/logs"},
       "a password does not go in the store's name"},
      {{"query", "--db", "clickhouse://" + base + "/logs?table=none"}, "no table none"},
      {{"record", "--db", "clickhouse://" + base + "/logs?table=foreign", "--import", "x.pcap"},
       "table foreign is there with another shape, not a record store: id is String, not Int64; "
       "received_ns missing"},
      {{"query", "--db", "clickhouse://writer@" + base + "/logs", "--db-password-file",
        dir + "/none"},
       "cannot read the password file"},
      {{"query", "--db", "clickhouse://127.0.0.1:1/logs"}, "the server does not answer"},
      {{"query", "--db", "clickhouses://127.0.0.1:" + std::to_string(server.tlsPort()) + "/logs"},
       "clickhouses://127.0.0.1:" + std::to_string(server.tlsPort()) +
           "/logs: the server's TLS certificate is not trusted here"},
      // What --match cannot mean here is the user's to change: exit 2.
      {{"query", "--db", server.url("logs"), "--match", "NEAR(a b)"},
       "--match 'NEAR(a b)': NEAR is not offered on a ClickHouse store",
       2},
  };
  open(store::Access::kRecord)->append(std::vector<Entry>{record(kA, 1, "one")});
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome outcome = tool(c.args, c.exit);
    EXPECT_TRUE(contains(outcome.err, c.message)) << outcome.err;
    EXPECT_FALSE(contains(outcome.err, ClickHouseServer::kPassword)) << outcome.err;
  }
  // The right password, from the file or the environment.
  const std::string asWriter = "clickhouse://writer@" + base + "/logs";
  EXPECT_EQ(tool({"query", "--db", asWriter, "--db-password-file", right}).out,
            tool({"query", "--db", server.url("logs")}).out);
  ::setenv("TARVIN_DB_PASSWORD", ClickHouseServer::kPassword, 1);
  EXPECT_EQ(lines(tool({"query", "--db", asWriter}).out).size(), 1u);
  ::unsetenv("TARVIN_DB_PASSWORD");
  // Over TLS, once the certificate is trusted.
  ::setenv("SSL_CERT_FILE", server.certificateFile().c_str(), 1);
  EXPECT_EQ(tool({"query", "--db",
                  "clickhouses://127.0.0.1:" + std::to_string(server.tlsPort()) + "/logs"})
                .out,
            tool({"query", "--db", server.url("logs")}).out);
  ::unsetenv("SSL_CERT_FILE");
}

TEST_F(ClickHouseTest, RecordStoresWhatAnExampleHostSends) {
  ExampleHost host;
  const std::string ch = server.url("logs");
  const Outcome recorded =
      tool({"record", "--db", ch, "--discover", "127.0.0.1", "--duration", "3s"});
  EXPECT_TRUE(contains(recorded.err, "stored ")) << recorded.err;
  const auto stats = nlohmann::json::parse(tool({"query", "--db", ch, "--stats", "--json"}).out);
  EXPECT_GT(stats["records"].get<std::int64_t>(), 100) << stats;
  EXPECT_EQ(lines(tool({"query", "--db", ch, "-n", "5"}).out).size(), 5u);
}

}  // namespace

// ---- a fleet: two servers as the two shards of one cluster ----

// Each server's own config: cluster "fleet" of the two native ports, and
// nothing else (no interserver port for the two to fight over).
std::string fleetConfig(int firstTcp, int secondTcp) {
  std::string shards;
  for (int port : {firstTcp, secondTcp}) {
    shards += "<shard><replica><host>127.0.0.1</host><port>" + std::to_string(port) +
              "</port></replica></shard>";
  }
  return "<?xml version=\"1.0\"?><yandex><logger><level>warning</level></logger>"
         "<mark_cache_size>268435456</mark_cache_size><remote_servers><fleet>" +
         shards + "</fleet></remote_servers></yandex>\n";
}

class ClickHouseFleetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ClickHouseServer::installed()) GTEST_SKIP() << "no clickhouse-server here";
    for (ClickHouseServer* shard : {&one, &two}) {
      shard->useConfig(fleetConfig(9000, 9001));
      ASSERT_TRUE(shard->start()) << shard->directory();
      shard->sql("CREATE DATABASE logs");
    }
  }
  // The operator's tables over the shards' own on `server`, as README shows.
  static void makeFleetTable(ClickHouseServer& server) {
    server.sql(
        "CREATE TABLE logs.fleet AS logs.records "
        "ENGINE = Distributed(fleet, logs, records, sipHash64(target))");
  }
  static void makeFleetAudit(ClickHouseServer& server) {
    server.sql(
        "CREATE TABLE logs.fleet_audit AS logs.records_audit "
        "ENGINE = Distributed(fleet, logs, records_audit, rand())");
  }
  // Rows of the shard's own table, and those of targets the sharding key
  // gives to the other shard (`index`: 0 or 1).
  static std::pair<std::int64_t, std::int64_t> shardRows(ClickHouseServer& server, int index) {
    const std::string answer =
        server.sql("SELECT count(), countIf(sipHash64(target) % 2 != " + std::to_string(index) +
                   ") FROM logs.records WHERE kind = 0 FORMAT TabSeparated");
    const std::size_t tab = answer.find('\t');
    if (tab == std::string::npos) return {-1, -1};
    return {std::stoll(answer.substr(0, tab)), std::stoll(answer.substr(tab + 1))};
  }

  ClickHouseServer one{8123, 9000}, two{8124, 9001};
};

// The records of a JSON query or API answer, each as its target, uuid and
// number; a record there twice counts twice.
std::multiset<std::string> recordKeys(const std::vector<nlohmann::json>& entries) {
  std::multiset<std::string> keys;
  for (const auto& e : entries) {
    if (e["type"] == "record")
      keys.insert(e["target"].dump() + e["uuid"].dump() + e["sequence"].dump());
  }
  return keys;
}

TEST_F(ClickHouseFleetTest, RelaysThroughADistributedTableAndEveryReaderSeesEachRecordOnce) {
  const std::string shardTable = "?table=records", fleet = "?table=fleet";
  // A recorder pointed at each shard makes the shard's own tables.
  tool({"record", "--db", one.url("logs") + shardTable, "--discover", "127.0.0.1", "--duration",
        "1s"});
  tool({"record", "--db", two.url("logs") + shardTable, "--discover", "127.0.0.1", "--duration",
        "1s"});
  makeFleetTable(one);
  makeFleetTable(two);
  // A relay never makes a fleet's audit table: a plain one on one server
  // would hide its rows from every other.
  const Outcome noAudit = tool(
      {"record", "--db", one.url("logs") + fleet, "--discover", "127.0.0.1", "--duration", "1s"},
      1);
  EXPECT_TRUE(contains(noAudit.err, "table fleet is Distributed but there is no fleet_audit"))
      << noAudit.err;
  makeFleetAudit(one);
  makeFleetAudit(two);

  std::int64_t stored = 0;
  {
    ExampleHost first, second("200", "second-host");
    const Outcome relay = tool(
        {"record", "--db", one.url("logs") + fleet, "--discover", "127.0.0.1", "--duration", "3s"});
    std::smatch found;
    ASSERT_TRUE(std::regex_search(relay.err, found, std::regex("stored ([0-9]+) record")))
        << relay.err;
    stored = std::stoll(found[1]);
    EXPECT_TRUE(contains(relay.err, "nothing lost")) << relay.err;
  }
  ASSERT_GT(stored, 100);
  // Stored once, each on the shard its target's hash names.
  const auto [onFirst, strayFirst] = shardRows(one, 0);
  const auto [onSecond, straySecond] = shardRows(two, 1);
  EXPECT_EQ(onFirst + onSecond, stored);
  EXPECT_EQ(strayFirst + straySecond, 0);

  // Read through either server: every record once, of both hosts.
  for (ClickHouseServer* reader : {&one, &two}) {
    const std::string db = reader->url("logs") + fleet;
    SCOPED_TRACE(db);
    const auto stats = nlohmann::json::parse(tool({"query", "--db", db, "--stats", "--json"}).out);
    EXPECT_EQ(stats["records"].get<std::int64_t>(), stored) << stats;
    EXPECT_EQ(stats["targets"].size(), 2u) << stats;
    std::vector<nlohmann::json> rows;
    for (const std::string& line : lines(tool({"query", "--db", db, "--json"}).out))
      rows.push_back(nlohmann::json::parse(line));
    const std::multiset<std::string> keys = recordKeys(rows);
    EXPECT_EQ(static_cast<std::int64_t>(keys.size()), stored);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
  }
  Child web({TARVIN_REMOTE_BIN, "web", "--listen", "127.0.0.1:0", "--db", two.url("logs") + fleet});
  ASSERT_TRUE(web.waitFor([](const Outcome& o) { return contains(o.out, "web console at "); }))
      << web.seen().err;
  const std::string& out = web.seen().out;
  const std::size_t at = out.find("http://");
  ASSERT_NE(at, std::string::npos) << out;
  httplib::Client api(out.substr(at, out.find('/', at + 7) - at));
  const auto answer = api.Get("/api/records?limit=100000");
  ASSERT_TRUE(answer) << "web API: no answer";
  ASSERT_EQ(answer->status, 200) << answer->body;
  const auto body = nlohmann::json::parse(answer->body);
  const std::multiset<std::string> keys =
      recordKeys({body["records"].begin(), body["records"].end()});
  EXPECT_EQ(static_cast<std::int64_t>(keys.size()), stored);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
  web.finish(SIGTERM);
}

TEST_F(ClickHouseFleetTest, AnInsertThroughTheFleetIsOnEveryShardOrFails) {
  for (ClickHouseServer* shard : {&one, &two})
    store::openStore(shard->url("logs"), store::Access::kRecord);
  makeFleetTable(one);
  makeFleetAudit(one);
  std::vector<Entry> batch;
  for (int host = 1; host <= 8; ++host) {
    const std::string target = "10.0.0." + std::to_string(host) + ":57008";
    for (std::uint32_t n = 0; n < 3; ++n) batch.push_back(record(target, n, "batch"));
  }
  const auto relay = store::openStore(one.url("logs") + "?table=fleet", store::Access::kRecord);
  // The second shard loses its table: its part of a batch cannot land.
  two.sql("DROP TABLE logs.records");
  // Queued for a shard that may never take it, a batch would be lost
  // after the relay was told it was stored.
  EXPECT_THROW(relay->append(batch), store::StoreError);
  // Days are the shards' to drop.
  try {
    relay->setRetention({.maxAge = std::chrono::hours(24)});
    ADD_FAILURE() << "max-age taken on a Distributed table";
  } catch (const store::StoreError& e) {
    EXPECT_TRUE(contains(e.what(), "give --max-age to a recorder pointed at each shard"))
        << e.what();
  }
  // With the table there the batch goes again; what landed of it the
  // first time, if anything, is shown once all the same.
  store::openStore(two.url("logs"), store::Access::kRecord);
  relay->append(batch);
  EXPECT_GT(shardRows(one, 0).first, 0);
  EXPECT_GT(shardRows(two, 1).first, 0);
  const auto shown =
      run(*store::openStore(one.url("logs") + "?table=fleet", store::Access::kRead)->query({}));
  const auto sent = fieldsOf(batch);
  EXPECT_EQ(std::multiset<std::string>(shown.begin(), shown.end()),
            std::multiset<std::string>(sent.begin(), sent.end()));
  // An audit row goes through the fleet's audit table like the records.
  relay->appendAudit({0, at(kNow), "10.0.0.1:57008", "app", "net", 1, 3, "error", "error,warning",
                      "bob", "fleet"});
  const auto audit =
      store::openStore(one.url("logs") + "?table=fleet", store::Access::kRead)->audit({});
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].why, "fleet");
}
