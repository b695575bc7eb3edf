// tests/tools/regex_table_test.cpp
//
// One meaning of --grep, --exclude and --ignore-case: the expressions of
// regex_table.json (shared with the browser test) run through tail,
// forward, replay, query, the web API and alert rules on the same records,
// from a scripted target that sends each record of the table once; every
// front end must select exactly the table's records (alert rules: as
// many), and the commands and the API refuse the same expressions with the
// regex library's words. Full-text queries likewise: a rule's `match`
// while recording and `query --match` on the store.
//
// Threads: gtest's thread runs the cases and reads the subprocesses'
// pipes and the collectors' sockets; the scripted target answers requests
// on a thread of its own.
#include <gtest/gtest.h>
#include <httplib.h>
#include <regex.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "common/datagram_wait.h"
#include "model/record_match.h"
#include "scripted_target.h"
#include "store_files.h"
#include "tool_process.h"

namespace {

using namespace tooltest;
using Sequences = std::set<std::int64_t>;

struct Case {
  std::string name, grep, exclude;
  bool ignoreCase = false;
  Sequences want;

  // The options every command takes alike.
  std::vector<std::string> options() const {
    std::vector<std::string> out;
    if (!grep.empty()) out.insert(out.end(), {"--grep", grep});
    if (!exclude.empty()) out.insert(out.end(), {"--exclude", exclude});
    if (ignoreCase) out.push_back("-i");
    return out;
  }
  // The same as web API parameters.
  httplib::Params params() const {
    httplib::Params out{{"order", "oldest"}};
    if (!grep.empty()) out.emplace("grep", grep);
    if (!exclude.empty()) out.emplace("exclude", exclude);
    if (ignoreCase) out.emplace("ignore_case", "1");
    return out;
  }
};

struct Table {
  std::vector<ScriptedRecord> records;
  std::vector<Case> cases, refused;
};

Table readTable() {
  std::ifstream in(TARVIN_REGEX_TABLE);
  const auto json = nlohmann::json::parse(in);
  Table table;
  for (const auto& r : json["records"]) {
    table.records.push_back({.text = r["text"], .file = r["file"], .function = r["function"]});
  }
  for (const char* list : {"cases", "refused"}) {
    for (const auto& c : json[list]) {
      (list == std::string("cases") ? table.cases : table.refused)
          .push_back({c["name"], c.value("grep", ""), c.value("exclude", ""),
                      c.value("ignore_case", false), c.value("want", Sequences{})});
    }
  }
  return table;
}

std::string dbPath(const std::string& name) { return freshStore("regex-table-" + name); }

// The sequence numbers of the JSON record lines in `out`.
Sequences jsonSequences(const std::string& out) {
  Sequences got;
  for (const std::string& line : lines(out)) {
    const auto object = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (object.is_object() && object.contains("sequence"))
      got.insert(object["sequence"].get<std::int64_t>());
  }
  return got;
}

// A syslog collector of the test's own: forward's record messages by
// their seq parameter (probes and gap notices have none).
class Collector {
 public:
  Collector() {
    const sockaddr_in any = loopbackAddress(0);
    ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
  }
  std::string url() const { return "udp://127.0.0.1:" + std::to_string(localPort(fd.get())); }
  // Reads until `count` records came, then what else comes for `settle`.
  Sequences receive(std::size_t count, std::chrono::milliseconds settle) {
    const auto deadline = Clock::now() + 10s;
    static const std::regex kSeq(" seq=\"([0-9]+)\"");
    for (;;) {
      const bool enough = got.size() >= count;
      if (!enough && Clock::now() > deadline) break;
      char message[65536];
      const auto n = receiveWithin(fd.get(), message, sizeof message, enough ? settle : 100ms);
      if (!n) {
        if (enough) break;
        continue;
      }
      std::smatch seq;
      const std::string text(message, *n);
      if (std::regex_search(text, seq, kSeq)) got.insert(std::stoll(seq[1]));
    }
    return got;
  }

 private:
  UniqueFd fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
  Sequences got;
};

// Alert rules of the table: per case, one that fires at its count of
// records and one that would fire at one more (a selection of a single
// record more or less shows).
std::string alertRules(const std::vector<Case>& cases) {
  std::string toml;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    std::string selector;
    if (!c.grep.empty()) selector += "grep = '" + c.grep + "'\n";
    if (!c.exclude.empty()) selector += "exclude = '" + c.exclude + "'\n";
    if (c.ignoreCase) selector += "ignore_case = true\n";
    for (std::size_t count : {c.want.size(), c.want.size() + 1}) {
      if (count == 0) continue;
      toml += "[[rule]]\nname = 'case " + std::to_string(i) + " count " + std::to_string(count) +
              "'\n" + selector + "condition = 'count >= " + std::to_string(count) +
              " within 1h'\n\n";
    }
  }
  return toml;
}

// The rules that fire at each case's count.
std::set<std::string> alertsDue(const std::vector<Case>& cases) {
  std::set<std::string> due;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!cases[i].want.empty())
      due.insert("case " + std::to_string(i) + " count " + std::to_string(cases[i].want.size()));
  }
  return due;
}

std::string shown(const Sequences& s) {
  std::string text;
  for (auto n : s) text += (text.empty() ? "" : " ") + std::to_string(n);
  return "[" + text + "]";
}

}  // namespace

TEST(RegexTable, EveryFrontEndSelectsTheSameRecords) {
  const Table table = readTable();
  ASSERT_FALSE(table.cases.empty());
  ScriptedTarget target([&](std::uint32_t sequence) {
    return sequence < table.records.size() ? table.records[sequence]
                                           : ScriptedRecord{.text = "beyond the table"};
  });
  const std::string db = dbPath("record"), webDb = dbPath("web");
  const std::string capture = ::testing::TempDir() + "regex-table.pcap";
  Child recorder({TARVIN_REMOTE_BIN, "record", "--db", db, "--pcap", capture, target.target()});
  const std::string rules = ::testing::TempDir() + "regex-table-rules.toml";
  std::ofstream(rules) << alertRules(table.cases);
  Child web({TARVIN_REMOTE_BIN, "web", "--listen", "127.0.0.1:0", "--db", webDb, "--alerts", rules,
             target.target()});
  std::vector<std::unique_ptr<Child>> tails, forwards;
  std::vector<std::unique_ptr<Collector>> collectors;
  for (const Case& c : table.cases) {
    std::vector<std::string> tail = {TARVIN_REMOTE_BIN, "tail", target.target(), "--json"};
    std::vector<std::string> forward = {TARVIN_REMOTE_BIN, "forward", target.target()};
    collectors.push_back(std::make_unique<Collector>());
    forward.insert(forward.end(), {"--to", collectors.back()->url()});
    for (const std::string& option : c.options()) {
      tail.push_back(option);
      forward.push_back(option);
    }
    tails.push_back(std::make_unique<Child>(tail));
    forwards.push_back(std::make_unique<Child>(forward));
  }
  // Every follower registered, so that each one gets the one burst.
  ASSERT_TRUE(target.waitForClients(2 + 2 * table.cases.size())) << recorder.seen().err;
  target.send(static_cast<std::uint32_t>(table.records.size()));
  const auto records = static_cast<std::int64_t>(table.records.size());
  ASSERT_TRUE(waitForEntries(db, records)) << recorder.seen().err;
  ASSERT_TRUE(waitForEntries(webDb, records)) << web.seen().err;

  for (std::size_t i = 0; i < table.cases.size(); ++i) {
    const Case& c = table.cases[i];
    SCOPED_TRACE(c.name + ": want " + shown(c.want));
    // Whatever else a follower would show has come by the time it showed
    // what it should: the burst arrived before the recorder committed it.
    tails[i]->waitFor(
        [&](const Outcome& o) { return jsonSequences(o.out).size() >= c.want.size(); }, 5s);
    const Outcome tail = tails[i]->finish(SIGTERM);
    EXPECT_EQ(shown(jsonSequences(tail.out)), shown(c.want)) << "tail: " << tail.err;
    EXPECT_EQ(shown(collectors[i]->receive(c.want.size(), 200ms)), shown(c.want)) << "forward";
    EXPECT_EQ(forwards[i]->finish(SIGTERM).exitCode, 0) << forwards[i]->seen().err;
  }
  EXPECT_EQ(recorder.finish(SIGTERM).exitCode, 0) << recorder.seen().err;

  ASSERT_TRUE(web.waitFor([](const Outcome& o) { return contains(o.out, "web console at "); }))
      << web.seen().err;
  const std::string& out = web.seen().out;
  const std::size_t at = out.find("http://");
  ASSERT_NE(at, std::string::npos) << web.seen().err;
  const std::string base = out.substr(at, out.find('/', at + 7) - at);
  httplib::Client api(base);
  for (const Case& c : table.cases) {
    SCOPED_TRACE(c.name + ": want " + shown(c.want));
    std::vector<std::string> replay = {"replay", capture, "--json"};
    std::vector<std::string> query = {"query", "--db", db, "--json"};
    for (const std::string& option : c.options()) {
      replay.push_back(option);
      query.push_back(option);
    }
    EXPECT_EQ(shown(jsonSequences(tooltest::remote(replay).out)), shown(c.want)) << "replay";
    EXPECT_EQ(shown(jsonSequences(tooltest::remote(query).out)), shown(c.want)) << "query";
    const auto got = api.Get("/api/records", c.params(), httplib::Headers{});
    ASSERT_TRUE(got) << "web API: no answer";
    ASSERT_EQ(got->status, 200) << got->body;
    Sequences fromApi;
    const auto body = nlohmann::json::parse(got->body);
    for (const auto& r : body["records"]) fromApi.insert(r["sequence"].get<std::int64_t>());
    EXPECT_EQ(shown(fromApi), shown(c.want)) << "web API";
  }

  // Alert rules: each case's rule at its count fires, none at one more.
  const std::set<std::string> due = alertsDue(table.cases);
  std::set<std::string> firing;
  const auto readFiring = [&] {
    firing.clear();
    const auto got = api.Get("/api/alerts");
    if (!got || got->status != 200) return false;
    const auto body = nlohmann::json::parse(got->body);
    for (const auto& alert : body["firing"]) firing.insert(alert["rule"].get<std::string>());
    return std::includes(firing.begin(), firing.end(), due.begin(), due.end());
  };
  const auto deadline = Clock::now() + 10s;
  while (!readFiring() && Clock::now() < deadline) std::this_thread::sleep_for(100ms);
  std::this_thread::sleep_for(1500ms);  // one more evaluation: nothing else fires
  readFiring();
  EXPECT_EQ(firing, due) << "alert rules";

  // An expression the regex library refuses: a usage error of every
  // command and a 400 of the API, each with the library's own words.
  for (const Case& c : table.refused) {
    SCOPED_TRACE(c.name);
    const std::string option = c.grep.empty() ? "exclude" : "grep";
    const std::string pattern = c.grep.empty() ? c.exclude : c.grep;
    const std::string reason = remote::regexProblem(pattern);
    ASSERT_FALSE(reason.empty());
    const std::string said = "--" + option + ": invalid regex '" + pattern + "': " + reason;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"tail", target.target()},
          {"forward", target.target(), "--to", collectors[0]->url()},
          {"replay", capture},
          {"query", "--db", db}}) {
      const std::string command = args[0];
      for (const std::string& o : c.options()) args.push_back(o);
      const Outcome refused = tooltest::remote(args, 2);
      EXPECT_TRUE(contains(refused.err, said)) << command << ": " << refused.err;
    }
    const auto got = api.Get("/api/records", c.params(), httplib::Headers{});
    ASSERT_TRUE(got) << "web API: no answer";
    EXPECT_EQ(got->status, 400) << got->body;
    EXPECT_EQ(nlohmann::json::parse(got->body).value("error", ""),
              option + ": invalid regex '" + pattern + "': " + reason);
  }
  EXPECT_EQ(web.finish(SIGTERM).exitCode, 0) << web.seen().err;
}

// One meaning of a full-text query: a rule's `match` (beside its
// `components`, as query's --component) picks, while `record` stores the
// records, as many records as `query --match` finds in the
// store afterwards, and exactly the ones listed (a rule at that count
// fires, one at a single record more does not).
TEST(MatchTable, ARuleMatchSelectsWhatQueryMatchFinds) {
  const std::vector<ScriptedRecord> records = {
      {.component = "db", .text = "Disk FULL on /var/log", .function = "check_space"},
      {.component = "net", .text = "connection refused by peer", .function = "connect_peer"},
      {.component = "ui", .text = "Caf\u00e9 served", .function = "serve"},
      {.component = "db", .text = "retry 3: timeout", .function = "retry_write"},
      {.component = "db", .text = "deadlock detected \u2014 rolling back", .function = "lock_wait"},
  };
  static const struct {
    const char* query;
    Sequences want;
    std::string component = "";  // a rule's `components`, query's --component
  } kCases[] = {
      {"disk", {0}},
      {"\"refused by\"", {1}},
      {"ref* OR CAFE", {1, 2}},
      {"component:db NOT timeout", {0, 4}},
      {"lock + wait", {4}},
      {"\"detected rolling\" OR text:(retry OR serve)", {3, 4}},
      {"-{text function}:db", {0, 3, 4}},
      {"retry OR refused", {1}, "net"},
  };
  std::string toml;
  std::set<std::string> due;
  for (std::size_t i = 0; i < std::size(kCases); ++i) {
    const std::size_t count = kCases[i].want.size();
    for (std::size_t n : {count, count + 1}) {
      const std::string name = "case " + std::to_string(i) + " count " + std::to_string(n);
      std::string query = kCases[i].query;
      for (std::size_t at = 0; (at = query.find('"', at)) != std::string::npos; at += 2)
        query.insert(at, "\\");
      toml += "[[rule]]\n";
      if (!kCases[i].component.empty()) toml += "components = ['" + kCases[i].component + "']\n";
      toml += "name = '" + name + "'\nmatch = \"" + query +
              "\"\ncondition = 'count >= " + std::to_string(n) + " within 1h'\n\n";
      if (n == count) due.insert(name);
    }
  }
  const std::string rules = ::testing::TempDir() + "match-table-rules.toml";
  std::ofstream(rules) << toml;
  ScriptedTarget target([&](std::uint32_t sequence) {
    return sequence < records.size() ? records[sequence] : ScriptedRecord{.text = "beyond"};
  });
  const std::string db = dbPath("match");
  Child recorder({TARVIN_REMOTE_BIN, "record", "--db", db, "--alerts", rules, target.target()});
  ASSERT_TRUE(target.waitForClients(1)) << recorder.seen().err;
  target.send(static_cast<std::uint32_t>(records.size()));
  ASSERT_TRUE(waitForEntries(db, static_cast<std::int64_t>(records.size()))) << recorder.seen().err;
  std::set<std::string> firing;
  const auto readFiring = [&](const Outcome& o) {
    static const std::regex kFiring("alert '([^']+)' firing");
    firing.clear();
    for (std::sregex_iterator it(o.err.begin(), o.err.end(), kFiring), end; it != end; ++it)
      firing.insert((*it)[1]);
    return std::includes(firing.begin(), firing.end(), due.begin(), due.end());
  };
  recorder.waitFor(readFiring, 10s);
  std::this_thread::sleep_for(1500ms);  // one more evaluation: nothing else fires
  const Outcome recorded = recorder.finish(SIGTERM);
  EXPECT_EQ(recorded.exitCode, 0) << recorded.err;
  readFiring(recorded);
  EXPECT_EQ(firing, due) << recorded.err;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.query);
    std::vector<std::string> query = {"query", "--db", db, "--json",
                                      std::string("--match=") + c.query};
    if (!c.component.empty()) query.insert(query.end(), {"--component", c.component});
    EXPECT_EQ(shown(jsonSequences(tooltest::remote(query).out)), shown(c.want));
  }
}

// A field without any of an expression's required literals is ruled out
// before regexec(): that shortcut never changes an answer. Each expression
// against each text, with and without it; and the expressions operators
// write most do have literals.
TEST(RequiredLiterals, NeverRuleOutAMatch) {
  const char* const patterns[] = {"timeout|refused",
                                  "disk (full|failing)",
                                  "user [0-9]+ gone",
                                  "^GET /admin",
                                  "retry #[0-9]{3,}",
                                  "ab*c",
                                  "ab+c",
                                  "ab?c",
                                  "colou?r",
                                  "x{2}y",
                                  "a{2,3}",
                                  "(ab|cd)ef",
                                  "ab|(cd)",
                                  "[]a]bc",
                                  "[^]x]yz",
                                  "[[:digit:]]+ms",
                                  "\u00e9*t",
                                  "caf(\u00e9|e)",
                                  "a.c",
                                  "abc\\|def",
                                  "(a)(b)",
                                  "^$",
                                  "x*",
                                  "[a|b]c",
                                  "a|b|c",
                                  "a$|^b",
                                  "[[.-.]]x|y",
                                  "deadlock"};
  const char* const texts[] = {"timeout",
                               "refused",
                               "disk full",
                               "user 12 gone",
                               "GET /admin/x",
                               "retry #1234",
                               "ac",
                               "abc",
                               "abbc",
                               "color",
                               "colour",
                               "xxy",
                               "aa",
                               "cdef",
                               "cd",
                               "]bc",
                               "ayz",
                               "12ms",
                               "t",
                               "caf\u00e9",
                               "cafe",
                               "a-c",
                               "def",
                               "abc|def",
                               "ab",
                               "b",
                               "|c",
                               "c",
                               "-x",
                               "y",
                               "deadlock detected"};
  for (const char* pattern : patterns) {
    SCOPED_TRACE(pattern);
    regex_t plain;
    ASSERT_EQ(::regcomp(&plain, pattern, REG_EXTENDED | REG_NOSUB), 0);
    const remote::RecordMatch match({.grep = {pattern}});
    for (const char* text : texts) {
      EXPECT_EQ(match.wanted(text, text, text), ::regexec(&plain, text, 0, nullptr, 0) == 0)
          << text;
    }
    ::regfree(&plain);
  }
  using Literals = std::vector<std::string>;
  EXPECT_EQ(remote::requiredLiterals("timeout|refused"), (Literals{"timeout", "refused"}));
  EXPECT_EQ(remote::requiredLiterals("retry #[0-9]{3,}"), (Literals{"retry #"}));
  EXPECT_EQ(remote::requiredLiterals("disk (full|failing)"), (Literals{"disk "}));
  EXPECT_EQ(remote::requiredLiterals("colou?r"), (Literals{"colo"}));
  EXPECT_EQ(remote::requiredLiterals("a|(b)"), Literals{});
}
