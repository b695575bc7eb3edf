// tests/tools/history_test.cpp
//
// record and query as a user runs them: real binaries in the test's own
// network namespace. A scripted target (scripted_target.h) sends records
// with a jump in their sequence numbers, so every query has one exact
// answer, gaps included; the store holds what tail printed in the same
// run, field for field, and importing the recording's capture gives the
// same store, once however often it is imported; a full store ends a
// recording with every record accounted for, and records our kernel
// dropped fail it though no gap shows them; faulty stores and queries give
// their message and exit code.
//
// Threads: gtest's thread runs the cases and reads the subprocesses'
// pipes; the scripted target answers requests on a thread of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "scripted_target.h"
#include "store/sqlite_store.h"
#include "store_files.h"
#include "tool_process.h"

namespace {

using namespace tooltest;

constexpr std::uint32_t kError = 31, kInfo = 29;  // client levels

// Component db for odd sequence numbers, net for even ones; error for
// multiples of 3, info otherwise; text "message N"; integers of both signs
// that differ from record to record (a tick of -1 is 4294967295).
ScriptedRecord historyRecord(std::uint32_t sequence) {
  const auto n = static_cast<std::int32_t>(sequence);
  return {.component = sequence % 2 ? "db" : "net",
          .clientLevel = sequence % 3 == 0 ? kError : kInfo,
          .text = "message " + std::to_string(sequence),
          .integers = {1000 + n, -1 - n, -1, 10 + n}};
}

std::string dbPath(const std::string& name) { return freshStore("history-" + name); }

// Query output in short: "#5" per record line, "gap" per gap line, "--"
// per separator.
std::string shape(const std::string& out) {
  std::string text;
  for (const std::string& line : lines(out)) {
    const std::size_t hash = line.find(" #") + 1;
    const std::string item = line == "--" ? "--"
                             : line.starts_with("-- lost ")
                                 ? "gap"
                                 : line.substr(hash, line.find(' ', hash) - hash);
    text += (text.empty() ? "" : " ") + item;
  }
  return text;
}

// tarvin-remote run to its end (tool_process.h); the namespace remote of
// the store's headers hides that name here.
Outcome tool(std::vector<std::string> args, int expectedExit = 0) {
  return tooltest::remote(std::move(args), expectedExit);
}

}  // namespace

// Sequence numbers 0-9 and 15-24: records 10 to 14 are lost on the way.
// Every query has one answer; the capture of the recording imports to the
// same store. The recording, the follower and tail's twin query name no
// --db: they meet in the store under the user's state directory.
TEST(History, QueriesShowRecordsAndGapsInPlace) {
  ScriptedTarget target(historyRecord);
  const std::string state = ::testing::TempDir() + "history-state";
  std::filesystem::remove_all(state);
  std::filesystem::create_directories(state);
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  const std::string db = state + "/tarvin-remote/logs.db", kept = dbPath("fake-kept"),
                    imported = dbPath("fake-imported");
  const std::string capture = ::testing::TempDir() + "history-fake.pcap";
  Child recorder({TARVIN_REMOTE_BIN, "record", target.target(), "--pcap", capture});
  Child keeper({TARVIN_REMOTE_BIN, "record", "--db", kept, "--max-records", "8", target.target()});
  Child tail({TARVIN_REMOTE_BIN, "tail", "--json", target.target()});
  ASSERT_TRUE(target.waitForClients(3)) << recorder.seen().err << keeper.seen().err;
  Child follower({TARVIN_REMOTE_BIN, "query", "--follow"});
  target.send(10);
  target.send(10, /*skip=*/5);
  ASSERT_TRUE(waitForEntries(db, 21) && waitForEntries(kept, 21)) << recorder.seen().err;
  for (Child* child : {&recorder, &keeper}) {
    const Outcome recorded = child->finish(SIGTERM);
    EXPECT_EQ(recorded.exitCode, 1) << "records were lost: " << recorded.err;
    EXPECT_TRUE(contains(recorded.err, "lost 5 records in 1 gap")) << recorded.err;
  }

  const std::string all =
      "#0 #1 #2 #3 #4 #5 #6 #7 #8 #9 gap #15 #16 #17 #18 #19 #20 #21 #22 #23 #24";
  EXPECT_TRUE(follower.waitFor([&](const Outcome& o) { return shape(o.out) == all; }))
      << follower.seen().out;
  EXPECT_EQ(follower.finish(SIGTERM).exitCode, 0);
  // tail --json prints the gap too, once its reorder window is over: the
  // same objects as the store's, field for field, but for receive times
  // and ids.
  EXPECT_TRUE(tail.waitFor([](const Outcome& o) { return contains(o.out, R"("type":"gap")"); }))
      << tail.seen().out;
  const Outcome tailed = tail.finish(SIGTERM);
  EXPECT_EQ(tailed.exitCode, 1) << "records were lost: " << tailed.err;
  const auto withoutTimes = [](const std::string& jsonLines) {
    std::vector<nlohmann::json> entries;
    for (const std::string& line : lines(jsonLines)) {
      entries.push_back(nlohmann::json::parse(line));
      entries.back().erase("received");
      entries.back().erase("id");
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  };
  EXPECT_EQ(withoutTimes(tailed.out), withoutTimes(tool({"query", "-o", "json"}).out));
  static const struct {
    std::vector<std::string> args;
    std::string shape;
  } kCases[] = {
      {{}, all},
      {{"--limit", "3"}, "#0 #1 #2"},
      {{"--reverse", "--limit", "3"}, "#24 #23 #22"},
      {{"--grep", "message (9|15)$"}, "#9 gap #15"},
      {{"--match", "message AND (3 OR 17)"}, "#3 gap #17"},
      {{"--component", "db", "--min-level", "error"}, "#3 #9 gap #15 #21"},
      {{"--component", "net", "--level", "info", "--limit", "2"}, "#2 #4"},
      {{"--context", "1", "--grep", "message (3|7)$"}, "#2 #3 #4 -- #6 #7 #8"},
      {{"--context", "2", "--grep", "message 9$"}, "#7 #8 #9 gap #15 #16"},
      {{"--since", "1m", "--target", "127.0.0.1", "--limit", "1"}, "#0"},
      {{"--until", "1m"}, ""},
      {{"--target", "127.0.0.1:1"}, ""},
      // journalctl's habits: the newest N oldest first, -p, -u, -S, -U.
      {{"-n", "3"}, "#22 #23 #24"},
      {{"-p", "error", "--component", "db", "-u", "127.0.0.1", "-n", "2"}, "#15 #21"},
      {{"-S", "yesterday", "-U", "now", "-n", "1"}, "#24"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args = {"query", "--db", db};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(shape(tool(args).out), c.shape);
  }
  // Retention kept the newest 8, and the gap before them went too.
  EXPECT_EQ(shape(tool({"query", "--db", kept}).out), "#17 #18 #19 #20 #21 #22 #23 #24");

  // The capture of that recording, imported, makes the same store, gap
  // and its time included. Imported again, or into the recording's own
  // store, it adds nothing, says so, and still names the capture's loss.
  const std::string recorded = tool({"query", "--db", db, "--json"}).out;
  tool({"record", "--db", imported, "--import", capture}, /*expectedExit=*/1);
  EXPECT_EQ(tool({"query", "--db", imported, "--json"}).out, recorded);
  for (const std::string& again : {imported, db}) {
    const Outcome outcome = tool({"record", "--db", again, "--import", capture}, 1);
    EXPECT_TRUE(contains(outcome.err, "stored 0 records in " + again +
                                          "; skipped 20 records and 1 gap already stored; "
                                          "lost 5 records in 1 gap"))
        << outcome.err;
    EXPECT_EQ(tool({"query", "--db", again, "--json"}).out, recorded) << again;
  }

  const auto stats = nlohmann::json::parse(tool({"query", "--db", db, "--stats", "--json"}).out);
  EXPECT_EQ(stats["records"], 20);
  EXPECT_EQ(stats["lost"], 5);
  EXPECT_EQ(stats["targets"][0]["target"], target.target());
}

// A store that fills up while the recorder writes from its own thread:
// the recording ends with the store's message, and every record received
// is either stored or counted as not stored.
TEST(History, AFullStoreEndsTheRecordingWithEveryRecordAccountedFor) {
  ScriptedTarget target;
  const std::string dir = ::testing::TempDir() + "history-full";
  ::mkdir(dir.c_str(), 0700);
  Child recorder({"/usr/bin/unshare", "-m", "sh", "-c",
                  "mount -t tmpfs -o size=512k tmpfs \"$0\" && exec \"$@\"", dir, TARVIN_REMOTE_BIN,
                  "record", "--db", dir + "/full.db", target.target()});
  if (!target.waitForClients(1)) GTEST_SKIP() << "no mount namespace: " << recorder.seen().err;
  const auto ended = [](const Outcome& o) { return contains(o.err, "error:"); };
  for (int i = 0; i < 200 && !recorder.waitFor(ended, 20ms); ++i) target.send(200);
  const Outcome full = recorder.finish(SIGTERM);
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_TRUE(contains(full.err, "database or disk is full")) << full.err;
  long received = -1, stored = -1, unstored = 0;
  for (const std::string& line : lines(full.err)) {
    std::sscanf(line.c_str(), "tarvin-remote: received %ld", &received);
    if (std::sscanf(line.c_str(), "tarvin-remote: stored %ld", &stored) == 1) {
      const auto comma = line.find("; ");
      if (comma != std::string::npos) std::sscanf(line.c_str() + comma, "; %ld", &unstored);
    }
  }
  EXPECT_GT(unstored, 0) << full.err;
  EXPECT_EQ(stored + unstored, received) << full.err;
}

// Records our kernel dropped while the recorder was stopped, with no later
// record to show them as a gap, fail the recording all the same.
TEST(History, KernelDropsFailTheRecordingThoughNoGapShowsThem) {
  ScriptedTarget target;
  const std::string db = dbPath("drops");
  Child recorder({TARVIN_REMOTE_BIN, "record", "--db", db, target.target(), "--rcvbuf", "1"});
  ASSERT_TRUE(target.waitForClients(1)) << recorder.seen().err;
  ::kill(recorder.pid(), SIGSTOP);
  target.send(500);  // two datagrams are all the buffer holds
  ::kill(recorder.pid(), SIGCONT);
  ASSERT_TRUE(waitForEntries(db, 1));
  const Outcome outcome = recorder.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "; the kernel dropped ")) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "nothing lost")) << outcome.err;
}

// Each refusal names its cause and leaves the file exactly as it was: a
// store never "repairs" a file that is not one, nor one it cannot read.
TEST(History, FaultyStoresAndQueriesGiveMessageAndExitCode) {
  const std::string text = dbPath("text"), foreign = dbPath("foreign"), newer = dbPath("newer");
  std::ofstream(text) << std::string(4096, 'x');
  sqlite::Database(foreign, sqlite::Database::Mode::kReadWriteCreate).execute("CREATE TABLE t(x)");
  { store::SqliteStore(newer, store::Access::kRecord); }
  sqlite::Database(newer, sqlite::Database::Mode::kReadWrite).execute("PRAGMA user_version = 99");
  const std::string good = dbPath("good"), held = dbPath("held");
  { store::SqliteStore(good, store::Access::kRecord); }
  const store::SqliteStore recorder(held, store::Access::kRecord);
  const auto content = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };

  static const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  } kCases[] = {
      {{"query", "--db", text}, 1, "not a record store"},
      {{"record", "--db", text, "--import", "none.pcap"}, 1, "not a record store"},
      {{"query", "--db", foreign}, 1, "another application"},
      {{"record", "--db", foreign, "--import", "none.pcap"}, 1, "another application"},
      {{"record", "--db", newer, "--import", "none.pcap"}, 1, "schema version 99"},
      {{"record", "--db", held, "--import", "none.pcap"},
       1,
       "another recorder is writing to this store (pid " + std::to_string(::getpid()) + ")"},
      {{"query", "--db", dbPath("missing")}, 1, "history-missing.db"},
      {{"query", "--db", good, "--grep", "(", "--match", "alpha"},
       2,
       "error: --grep: invalid regex '('"},
      {{"query", "--db", good, "--match", "\"open"}, 2, "--match '\"open'"},
      {{"query", "--db", good, "--match", "alpha AND AND"}, 2, "fts5: syntax error"},
      {{"query", "--db", good, "--min-level", "loud"}, 2, "no level 'loud'"},
      {{"query", "--db", good, "--since", "the day before"}, 2, "--since: invalid time"},
      {{"query", "--db", good, "-n", "2", "--limit", "3"}, 2, "excludes"},
      {{"query", "--db", "/tmp"}, 2, "--db /tmp is a directory"},
      {{"query", "--db", good, "--follow", "--context", "1"}, 2, "--follow"},
      // Said, not refused: the component may yet come.
      {{"query", "--db", good, "--component", "nosuch"}, 0, "no component 'nosuch' in " + good},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const std::string& db = c.args[2];
    const bool file = !std::filesystem::is_directory(db);
    const std::string before = file ? content(db) : "";
    EXPECT_TRUE(contains(tool(c.args, c.exitCode).err, c.message));
    if (file) {
      EXPECT_EQ(content(db), before) << "the file was changed";
    }
  }
}
