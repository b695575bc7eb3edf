// tests/tools/level_policy_test.cpp
//
// Level policies as an operator writes them: every kind of mistake named
// at its line, the entry that decides a component where several cover it
// (the more specific one, of equals the later), entries past their
// `until`, the mask wanted from a component's current one, the drift
// `levels --policy` shows for three real example hosts, and `enforce`
// bringing a restarted host back to the policy and taking over from a
// temporary change when it ends; and every level change the command line
// makes as a row of the audit trail, written beside a running recorder.
//
// Threads: single-threaded gtest cases.
#include <gtest/gtest.h>
#include <pwd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "policy/level_policy.h"
#include "tool_process.h"

namespace {

using namespace std::chrono_literals;

const remote::Levels kLevels = {{31, "error"}, {30, "warning"}, {29, "info"}, {28, "debug"}};

TEST(LevelPolicy, EveryMistakeIsNamedAtItsLine) {
  static const struct {
    const char* name;
    std::string text;
    int line;
    std::string message;
  } kCases[] = {
      {"not TOML", "[[level]\n", 1, ""},
      {"no entries", "# nothing\n", 1, "no entries"},
      {"another table", "[[levels]]\nlevels = \"+debug\"\n", 1, "unknown table 'levels'"},
      {"no levels", "[[level]]\ncomponent = \"db\"\n", 1, "without levels"},
      {"unknown key", "[[level]]\nlevels = \"+debug\"\nuntill = \"2026-12-11\"\n", 3,
       "unknown key 'untill'"},
      {"not a string", "[[level]]\nlevels = 3\n", 2, "must be a string"},
      {"bad date", "[[level]]\nlevels = \"+debug\"\nuntil = \"friday\"\n", 3, "is no date"},
      {"space in levels", "[[level]]\nlevels = \"+debug, -trace\"\n", 1, "holds a space"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const policy::LevelPolicy p = policy::parsePolicy(c.text, "policy.toml");
    EXPECT_TRUE(p.entries.empty());
    bool found = false;
    std::string all;
    for (const auto& error : p.errors) {
      all += std::to_string(error.line) + ": " + error.message + "\n";
      found |= error.line == c.line && error.message.find(c.message) != std::string::npos;
    }
    EXPECT_TRUE(found) << all;
  }
}

TEST(LevelPolicy, TheMostSpecificEntryDecidesAndOfEqualsTheLater) {
  const policy::LevelPolicy p = policy::parsePolicy(R"(
[[level]]
levels = "error,warning"
[[level]]
application = "payments*"
levels = "+info"
[[level]]
application = "payments-eu*"
levels = "+debug"
[[level]]
component = "db"
levels = "error"
[[level]]
component = "db"
levels = "error,warning"
[[level]]
application = "old"
levels = "+debug"
until = "2020-01-01"
)",
                                                    "policy.toml");
  ASSERT_TRUE(p.errors.empty()) << p.errors.front().message;
  const auto now = policy::SystemClock::now();
  static const struct {
    const char* application;
    const char* component;
    int line;  // of the deciding entry's [[level]]
  } kCases[] = {
      {"shop", "ui", 2},            // only the catch-all
      {"payments", "ui", 4},        // a glob with more literal characters
      {"payments-eu-1", "ui", 7},   // more literal characters still
      {"payments-eu-1", "db", 13},  // a named component beats any glob; the later of two
      {"old", "ui", 2},             // its entry expired
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.application) + "/" + c.component);
    const policy::LevelEntry* entry = policy::decidingEntry(p, c.application, c.component, now);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->line, c.line);
  }
  EXPECT_EQ(policy::decidingEntry(
                policy::parsePolicy("[[level]]\ncomponent = \"db\"\nlevels = \"error\"\n", "p"),
                "shop", "ui", now),
            nullptr);
}

TEST(LevelPolicy, UntilADayCoversThatWholeDay) {
  const policy::LevelPolicy p =
      policy::parsePolicy("[[level]]\nlevels = \"+debug\"\nuntil = \"2026-12-11\"\n", "p");
  ASSERT_TRUE(p.errors.empty());
  std::tm day{};
  day.tm_year = 2026 - 1900;
  day.tm_mon = 11;
  day.tm_mday = 11;
  day.tm_hour = 23;
  day.tm_min = 59;
  day.tm_isdst = -1;
  const auto lastMinute = policy::SystemClock::from_time_t(std::mktime(&day));
  EXPECT_NE(policy::decidingEntry(p, "a", "db", lastMinute), nullptr);
  EXPECT_EQ(policy::decidingEntry(p, "a", "db", lastMinute + 1min), nullptr);
}

TEST(LevelPolicy, TheWantedMaskComesFromTheCurrentOneAndTheComponentsLevels) {
  const policy::LevelPolicy p = policy::parsePolicy(R"(
[[level]]
component = "db"
levels = "+debug,-info"
[[level]]
component = "ui"
levels = "error"
[[level]]
component = "net"
levels = "+trace"
)",
                                                    "p");
  const auto now = policy::SystemClock::now();
  const std::uint32_t errorWarningInfo = 0xE0000000;
  EXPECT_EQ(policy::desiredMask(p, "a", "db", errorWarningInfo, kLevels, now)->mask, 0xD0000000u);
  EXPECT_EQ(policy::desiredMask(p, "a", "ui", errorWarningInfo, kLevels, now)->mask, 0x80000000u);
  const auto net = policy::desiredMask(p, "a", "net", errorWarningInfo, kLevels, now);
  EXPECT_NE(net->error.find("trace"), std::string::npos) << net->error;
  EXPECT_FALSE(policy::desiredMask(p, "a", "other", errorWarningInfo, kLevels, now));
}

TEST(LevelPolicy, DriftNamesEveryTargetAndComponentThatDiffers) {
  tooltest::ExampleHost payA("5", "payments-a"), payB("5", "payments-b"), shop("5", "shop");
  // Three masks: payments-a as the host starts (error, warning, info),
  // payments-b with debug on db already, shop with debug on ui.
  tooltest::remote({"set-level", payB.target(), "db", "+debug"});
  tooltest::remote({"set-level", shop.target(), "ui", "+debug"});
  char path[] = "/tmp/level_policy_test.XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "[[level]]\nlevels = \"error,warning,info\"\n"
                         "[[level]]\napplication = \"payments*\"\ncomponent = \"db\"\n"
                         "levels = \"+debug\"\n";
  const tooltest::Outcome outcome =
      tooltest::remote({"levels", "--policy", path, "--discover", "127.0.0.1", "--json"});
  std::set<std::string> rows;
  for (const std::string& line : tooltest::lines(outcome.out)) {
    const auto row = nlohmann::json::parse(line);
    rows.insert(row["application"].get<std::string>() + " " + row["component"].get<std::string>() +
                " line " + std::to_string(row["policy_line"].get<int>()));
  }
  EXPECT_EQ(rows, (std::set<std::string>{"payments-a db line 3", "shop ui line 1"}))
      << outcome.out << outcome.err;
  EXPECT_TRUE(
      tooltest::contains(outcome.err, "2 components differ from the policy, of 9 on 3 targets"))
      << outcome.err;
  std::remove(path);
}

std::uint32_t maskOf(const std::string& target, const std::string& component) {
  const tooltest::Outcome outcome = tooltest::remote({"levels", target, component, "--json"});
  return nlohmann::json::parse(outcome.out)["client_mask"].get<std::uint32_t>();
}

template <typename Condition>
bool within(std::chrono::milliseconds limit, Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

TEST(LevelPolicy, EnforceBringsARestartedHostBackAndTakesOverFromATemporaryChange) {
  char path[] = "/tmp/level_policy_test.XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "[[level]]\napplication = \"payments\"\ncomponent = \"db\"\n"
                         "levels = \"+debug\"\n";
  constexpr std::uint32_t kStart = 0xE0000000, kDebug = 0x10000000, kTrace = 0x08000000;
  std::optional<tooltest::ExampleHost> host(std::in_place, "5", "payments");
  const std::string target = host->target();
  tooltest::Child enforce(
      {TARVIN_REMOTE_BIN, "enforce", "--policy", path, target, "--every", "300ms"});
  EXPECT_TRUE(within(10s, [&] { return maskOf(target, "db") == (kStart | kDebug); }))
      << enforce.seen().err;

  // A restart brings the host's own levels back; the policy follows.
  host.reset();
  host.emplace("5", "payments");
  ASSERT_EQ(host->target(), target);
  EXPECT_TRUE(within(5s, [&] { return maskOf(target, "db") == (kStart | kDebug); }))
      << enforce.seen().err;

  // A temporary change holds db while it runs, though the policy changes
  // under it; when it ends it puts back what it found, and the policy as
  // it is now takes over from there.
  tooltest::Child temporary(
      {TARVIN_REMOTE_BIN, "set-level", target, "db", "+trace", "--for", "2s"});
  ASSERT_TRUE(within(5s, [&] { return maskOf(target, "db") == (kStart | kDebug | kTrace); }));
  std::ofstream(path) << "[[level]]\napplication = \"payments\"\ncomponent = \"db\"\n"
                         "levels = \"error,warning\"\n";
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(maskOf(target, "db"), kStart | kDebug | kTrace) << enforce.seen().err;
  EXPECT_EQ(temporary.finish().exitCode, 0) << temporary.seen().err;
  EXPECT_TRUE(within(5s, [&] { return maskOf(target, "db") == 0xC0000000; }))
      << std::hex << maskOf(target, "db") << "\n"
      << enforce.seen().err;
  const tooltest::Outcome outcome = enforce.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  EXPECT_TRUE(tooltest::contains(outcome.err, "read " + std::string(path) + " again"))
      << outcome.err;
  std::remove(path);
}

// A scripted sequence of changes from the command line, with a recorder
// holding the store all along: each change is one row, in order, with the
// masks before and after, who and why; and query --audit filters them.
TEST(LevelPolicy, EveryCommandLineChangeIsARowOfTheAuditTrail) {
  const std::string dir = ::testing::TempDir() + "audit_trail";
  ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
  const std::string db = dir + "/logs.db", policyPath = dir + "/policy.toml";
  std::ofstream(policyPath) << "[[level]]\ncomponent = \"db\"\nlevels = \"error\"\n";
  tooltest::ExampleHost host("5", "payments");
  const std::string target = host.target();
  tooltest::Child recorder({TARVIN_REMOTE_BIN, "record", "--db", db, target});
  ASSERT_TRUE(recorder.waitFor([](const tooltest::Outcome& o) {
    return tooltest::contains(o.err, "following ");
  })) << recorder.seen().err;

  tooltest::remote({"set-level", "--db", db, target, "db", "+debug"});
  tooltest::remote({"set-level", "--db", db, target, "ui", "+trace", "--for", "1s"});
  tooltest::Child interrupted(
      {TARVIN_REMOTE_BIN, "set-level", "--db", db, target, "net", "-info", "--for", "30s"});
  ASSERT_TRUE(within(10s, [&] { return maskOf(target, "net") == 0xC0000000; }));
  EXPECT_NE(interrupted.finish(SIGINT).exitCode, -1) << interrupted.seen().err;
  tooltest::Child enforce({TARVIN_REMOTE_BIN, "enforce", "--db", db, "--policy", policyPath, target,
                           "--every", "300ms"});
  ASSERT_TRUE(within(10s, [&] { return maskOf(target, "db") == 0x80000000; }));
  EXPECT_EQ(enforce.finish(SIGTERM).exitCode, 0) << enforce.seen().err;

  const std::string user = ::getpwuid(::geteuid())->pw_name;
  static const struct {
    const char* component;
    std::uint32_t before, after;
    const char* levelsAfter;
    const char* why;
  } kRows[] = {
      {"db", 0xE0000000, 0xF0000000, "error warning info debug", "manual"},
      {"ui", 0xE0000000, 0xE8000000, "error warning info trace", "manual"},
      {"ui", 0xE8000000, 0xE0000000, "error warning info", "expired"},
      {"net", 0xE0000000, 0xC0000000, "error warning", "manual"},
      {"net", 0xC0000000, 0xE0000000, "error warning info", "restore on exit"},
      {"db", 0xF0000000, 0x80000000, "error", "policy"},
  };
  const std::vector<std::string> rows =
      tooltest::lines(tooltest::remote({"query", "--db", db, "--audit", "--json"}).out);
  ASSERT_EQ(rows.size(), std::size(kRows))
      << tooltest::remote({"query", "--db", db, "--audit"}).out;
  std::int64_t lastId = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto row = nlohmann::json::parse(rows[i]);
    const auto& want = kRows[i];
    std::string levelsAfter;
    for (const auto& name : row["levels_after"])
      levelsAfter += (levelsAfter.empty() ? "" : " ") + name.get<std::string>();
    EXPECT_EQ(row["type"], "audit");
    EXPECT_GT(row["id"].get<std::int64_t>(), lastId);
    lastId = row["id"].get<std::int64_t>();
    EXPECT_EQ(row["target"], target);
    EXPECT_EQ(row["application"], "payments");
    EXPECT_EQ(row["component"], want.component) << "row " << i;
    EXPECT_EQ(row["mask_before"].get<std::uint32_t>(), want.before) << "row " << i;
    EXPECT_EQ(row["mask_after"].get<std::uint32_t>(), want.after) << "row " << i;
    EXPECT_EQ(levelsAfter, want.levelsAfter) << "row " << i;
    EXPECT_EQ(row["by"], user) << "row " << i;
    EXPECT_EQ(row["why"], want.why) << "row " << i;
  }

  static const struct {
    std::vector<std::string> filter;
    std::size_t rows;
  } kFilters[] = {
      {{"--component", "ui"}, 2},     {{"--component", "net", "--component", "db"}, 4},
      {{"--target", "127.0.0.1"}, 6},  // a host alone: every port of it
      {{"--target", "127.0.0.2"}, 0}, {{"-n", "2"}, 2},
      {{"--since", "1h"}, 6},         {{"--until", "1h"}, 0},
  };
  for (const auto& c : kFilters) {
    std::vector<std::string> args = {"query", "--db", db, "--audit"};
    args.insert(args.end(), c.filter.begin(), c.filter.end());
    EXPECT_EQ(tooltest::lines(tooltest::remote(args).out).size(), c.rows) << args.at(4);
  }
  EXPECT_EQ(recorder.finish(SIGINT).exitCode, 0) << recorder.seen().err;
}

// record and web keep the policy applied to what they follow, as enforce
// does, and audit what it changed in their store.
TEST(LevelPolicy, RecordAndWebApplyAPolicyToWhatTheyFollow) {
  const std::string dir = ::testing::TempDir() + "policy_beside";
  ASSERT_EQ(std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);
  const std::string policyPath = dir + "/policy.toml";
  std::ofstream(policyPath) << "[[level]]\napplication = \"pay*\"\ncomponent = \"ui\"\n"
                               "levels = \"+trace\"\n";
  tooltest::ExampleHost host("5", "payments");
  const std::string target = host.target();
  for (const char* command : {"record", "web"}) {
    SCOPED_TRACE(command);
    const std::string db = dir + "/" + command + ".db";
    std::vector<std::string> args = {TARVIN_REMOTE_BIN, command,    "--db", db,
                                     "--policy",        policyPath, target};
    if (std::string(command) == "web") args.insert(args.end(), {"--listen", "127.0.0.1:0"});
    tooltest::Child follower(args);
    EXPECT_TRUE(within(10s, [&] { return maskOf(target, "ui") == 0xE8000000; }))
        << follower.seen().err;
    EXPECT_EQ(follower.finish(SIGINT).exitCode, 0) << follower.seen().err;
    const std::vector<std::string> rows =
        tooltest::lines(tooltest::remote({"query", "--db", db, "--audit"}).out);
    ASSERT_EQ(rows.size(), 1u) << follower.seen().err;
    EXPECT_TRUE(rows[0].ends_with(
        " ui: 0xE0000000 (error, warning, info) -> 0xE8000000 (error, warning, info, trace) by " +
        std::string(::getpwuid(::geteuid())->pw_name) + " (policy)"))
        << rows[0];
    tooltest::remote({"set-level", "--db", db, target, "ui", "-trace"});  // for the next one
  }
}

}  // namespace
