// tests/tools/alerts_test.cpp
//
// Alert rules as an operator meets them: every kind of mistake in a rule
// file named at its line, the condition forms, the one scan for every
// rule's literals against the regex library, the engine's firing and
// resolving over time for each condition, with `for`, target globs and
// templates, and the notifier against a real HTTP receiver on loopback
// and a real command: a receiver that is down at first, a full queue, an
// Alertmanager that is sent what fires again; the metrics text as
// Prometheus' own promtool reads it; and a recorder whose rule fires on a
// real example host's records, through a real Alertmanager to its webhook,
// and resolves when the errors stop; a recorder whose webhook is down
// while more alerts fire and resolve than its queue holds; a real
// Prometheus scraping the recorder's metrics.
//
// Threads: the notifier cases run an HTTP server on a thread of their own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "alerts/alert_engine.h"
#include "alerts/alert_rules.h"
#include "alerts/literal_scan.h"
#include "alerts/metrics_text.h"
#include "alerts/notifier.h"
#include "tool_process.h"

namespace {

using namespace std::chrono_literals;

const alerts::Time kStart = alerts::Time{} + std::chrono::hours(24 * 20000);

TEST(AlertRules, EveryMistakeIsNamedAtItsLine) {
  static const struct {
    const char* name;
    std::string text;
    int line;
    std::string message;  // a part of it
  } kCases[] = {
      {"not TOML", "[[rule]\nname = 1\n", 1, ""},
      {"no rules", "# nothing\n", 1, "no rules"},
      {"another table", "[[rules]]\nname = \"a\"\n", 1, "unknown table 'rules'"},
      {"no name", "[[rule]]\ncondition = \"target gone\"\n", 1, "without a name"},
      {"no condition", "[[rule]]\nname = \"a\"\n", 1, "has no condition"},
      {"name not a string", "[[rule]]\nname = 3\ncondition = \"target gone\"\n", 2,
       "name must be a string"},
      {"unknown key", "[[rule]]\nname = \"a\"\ncondition = \"target gone\"\ncolour = \"red\"\n", 4,
       "unknown key 'colour'"},
      {"condition form", "[[rule]]\nname = \"a\"\ncondition = \"count > 3 within 1m\"\n", 3,
       "is none of"},
      {"condition duration", "[[rule]]\nname = \"a\"\ncondition = \"absent for soon\"\n", 3,
       "'soon' is no duration"},
      {"count of none", "[[rule]]\nname = \"a\"\ncondition = \"count >= 0 within 1m\"\n", 3,
       "at least 1"},
      {"rate unit", "[[rule]]\nname = \"a\"\ncondition = \"rate > 5/h over 1m\"\n", 3, "no rate"},
      {"for", "[[rule]]\nname = \"a\"\ncondition = \"target gone\"\nfor = \"-1s\"\n", 4,
       "no duration"},
      {"regex", "[[rule]]\nname = \"a\"\ngrep = \"(x\"\ncondition = \"absent for 1m\"\n", 3,
       "no regular expression"},
      {"exclude regex",
       "[[rule]]\nname = \"a\"\nexclude = \"[[:nosuch:]]\"\ncondition = \"absent for 1m\"\n", 3,
       "exclude: '[[:nosuch:]]' is no regular expression"},
      {"full-text query",
       "[[rule]]\nname = \"a\"\nmatch = \"disk AND\"\ncondition = \"absent for 1m\"\n", 3,
       "match: 'disk AND' is no full-text query: syntax error"},
      {"ignore_case",
       "[[rule]]\nname = \"a\"\nignore_case = \"yes\"\ncondition = \"absent for 1m\"\n", 3,
       "true or false"},
      {"template",
       "[[rule]]\nname = \"a\"\ncondition = \"target gone\"\n\n[rule.annotations]\n"
       "summary = \"{{host}}\"\n",
       6, "unknown template '{{host}}'"},
      {"selector on an event",
       "[[rule]]\nname = \"a\"\ncomponents = [\"db\"]\ncondition = \"target gone\"\n", 4,
       "looks at targets"},
      {"level out of range",
       "[[rule]]\nname = \"a\"\nmin_level = 40\ncondition = \"absent for 1m\"\n", 3, "0-31"},
      {"a second rule of a name",
       "[[rule]]\nname = \"a\"\ncondition = \"target gone\"\n[[rule]]\nname = \"a\"\n"
       "condition = \"target gone\"\n",
       4, "a second rule named 'a'"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const alerts::RuleFile file = alerts::parseRules(c.text, "rules.toml");
    EXPECT_TRUE(file.rules.empty());
    std::string all;
    bool found = false;
    for (const alerts::RuleError& error : file.errors) {
      all += std::to_string(error.line) + ": " + error.message + "\n";
      found |= error.line == c.line && error.message.find(c.message) != std::string::npos;
    }
    EXPECT_TRUE(found) << all;
  }
  // Every mistake of a file, not only the first.
  const alerts::RuleFile several = alerts::parseRules(
      "[[rule]]\nname = \"a\"\ncondition = \"soon\"\nfor = \"later\"\n", "rules.toml");
  ASSERT_EQ(several.errors.size(), 2u);
  EXPECT_EQ(several.errors[1].line, 4);
}

// The one scan for every rule's literals decides only what the regex
// library would: a text without a pattern's literals never matches it, and
// for a pattern that is only its literals, holding one is matching.
TEST(LiteralScan, RulesOutAndDecidesAsTheRegexLibraryDoes) {
  static const struct {
    const char* pattern;
    bool scanned;  // has required literals
    bool exact;    // and is nothing but them
  } kPatterns[] = {
      {"deadlock", true, true},
      {"timeout|refused", true, true},
      {"disk (full|failing)", true, false},
      {"user [0-9]+ gone", true, false},
      {"^GET /admin", true, false},
      {"a", true, true},
      {"colou?r", true, false},
      {"retry #[0-9]{3,}", true, false},
      {"}", true, true},
      {"x.y", true, false},
      {"[ab]c*", false, false},
      {"\\.cpp", false, false},
      {"(dead)lock", true, false},
  };
  static const char* const kTexts[] = {"deadlock detected",
                                       "dead lock",
                                       "connection refused",
                                       "timeou t",
                                       "disk full",
                                       "disk almost full",
                                       "user 42 gone",
                                       "user x gone",
                                       "GET /admin",
                                       "xGET /admin",
                                       "",
                                       "a",
                                       "b",
                                       "retry #12",
                                       "retry #123",
                                       "}",
                                       "colr",
                                       "color",
                                       "x y",
                                       "xzy",
                                       "lock",
                                       "colour",
                                       "src/main.cpp",
                                       "xx"};
  alerts::LiteralScan scan;
  for (const auto& p : kPatterns) {
    SCOPED_TRACE(p.pattern);
    const alerts::LiteralScan::Pattern added = scan.add(p.pattern);
    EXPECT_EQ(added.mask != 0, p.scanned);
    EXPECT_EQ(added.exact, p.exact);
    regex_t regex;
    ASSERT_EQ(::regcomp(&regex, p.pattern, REG_EXTENDED | REG_NOSUB), 0);
    for (const char* text : kTexts) {
      const bool matches = ::regexec(&regex, text, 0, nullptr, 0) == 0;
      const bool holds = (scan.scan(text) & added.mask) != 0;
      if (added.mask != 0 && !holds) {
        EXPECT_FALSE(matches) << "'" << text << "' ruled out";
      }
      if (added.exact) {
        EXPECT_EQ(holds, matches) << "'" << text << "'";
      }
    }
    ::regfree(&regex);
  }
  // Literals beyond the scan's room leave their pattern to its own matcher;
  // one the scan holds already still fits.
  alerts::LiteralScan full;
  for (std::size_t i = 0; i < alerts::LiteralScan::kMaxLiterals; ++i)
    EXPECT_NE(full.add("word" + std::to_string(i)).mask, 0u);
  EXPECT_EQ(full.add("another").mask, 0u);
  EXPECT_EQ(alerts::LiteralScan().add(std::string("dead\0lock", 9)).mask, 0u);
  EXPECT_EQ(full.add("word0|another").mask, 0u);
  EXPECT_EQ(full.add("word7").mask, alerts::LiteralScan::Hits{1} << 7);
  // "word63" holds "word6" too.
  EXPECT_EQ(full.scan("word63, word7"), alerts::LiteralScan::Hits{1} << 63 |
                                            alerts::LiteralScan::Hits{1} << 6 |
                                            alerts::LiteralScan::Hits{1} << 7);
}

alerts::Rule rule(const std::string& condition, alerts::Duration holdFor = 0s) {
  alerts::Rule r;
  r.name = "r";
  std::string error;
  EXPECT_TRUE(alerts::parseCondition(condition, r.condition, error)) << error;
  r.holdFor = holdFor;
  return r;
}

alerts::Subject record(alerts::Time at, const std::string& text = "boom",
                       const std::string& target = "127.0.0.1:57008") {
  return alerts::Subject{target, "billing", "db", text, 7, at};
}

// The kinds of transition evaluate() returns at `at`, as "F" and "R".
std::string changes(alerts::Engine& engine, alerts::Time at) {
  std::string out;
  for (const auto& t : engine.evaluate(at))
    out += t.kind == alerts::Transition::Kind::kFiring ? "F" : "R";
  return out;
}

TEST(AlertEngine, CountFiresOnTheNthWithinItsWindowAndResolvesWhenTheyAge) {
  alerts::Engine engine({rule("count >= 3 within 10s")});
  engine.selected(0, record(kStart));
  engine.selected(0, record(kStart + 1s));
  EXPECT_EQ(changes(engine, kStart + 2s), "");
  engine.selected(0, record(kStart + 9s, "third"));
  EXPECT_EQ(changes(engine, kStart + 9s), "F");
  ASSERT_EQ(engine.firing().size(), 1u);
  EXPECT_EQ(engine.firing()[0].count, 3u);
  EXPECT_EQ(engine.firing()[0].last.text, "third");
  EXPECT_EQ(changes(engine, kStart + 10s), "R");  // the first is 10 s old
  EXPECT_TRUE(engine.firing().empty());
}

TEST(AlertEngine, ForHoldsBackUntilTheConditionHeldThatLong) {
  alerts::Engine engine({rule("count >= 1 within 1m", 30s)});
  engine.selected(0, record(kStart));
  EXPECT_EQ(changes(engine, kStart), "");
  EXPECT_EQ(changes(engine, kStart + 29s), "");
  EXPECT_EQ(changes(engine, kStart + 30s), "F");
  EXPECT_EQ(changes(engine, kStart + 31s), "");  // fires once
}

TEST(AlertEngine, AbsentAndRateBelowWatchATargetOnceSeen) {
  alerts::Engine engine({rule("absent for 1m"), rule("rate < 1/s over 10s")});
  EXPECT_EQ(changes(engine, kStart - 1h), "");  // no target known yet
  engine.targetSeen("127.0.0.1:57008", "billing", kStart);
  for (int s = 1; s <= 10; ++s) engine.selected(1, record(kStart + std::chrono::seconds(s)));
  EXPECT_EQ(changes(engine, kStart + 10s), "");
  engine.selected(0, record(kStart + 30s));
  EXPECT_EQ(changes(engine, kStart + 89s), "F");  // the rate fell; the heartbeat not yet gone
  EXPECT_EQ(changes(engine, kStart + 90s), "F");  // a minute without the heartbeat
  engine.selected(0, record(kStart + 91s));
  EXPECT_EQ(changes(engine, kStart + 91s), "R");
}

TEST(AlertEngine, RateAboveLostAndEvents) {
  alerts::Rule restarted = rule("target restarted within 1m");
  restarted.targets = {"bill*"};  // globs name the application as well as the address
  alerts::Rule level = rule("level not restored");
  level.components = {"db"};
  alerts::Engine engine({rule("rate > 2/s over 2s"), rule("lost >= 100 within 1m"),
                         rule("target gone"), restarted, level});
  for (int i = 0; i < 5; ++i) engine.selected(0, record(kStart));
  engine.recordsLost("127.0.0.1:57008", "billing", 60, kStart);
  EXPECT_EQ(changes(engine, kStart), "F");  // 5 in 2 s
  engine.recordsLost("127.0.0.1:57008", "billing", 40, kStart + 30s);
  engine.targetGone("127.0.0.1:57009", "shop", kStart + 30s);
  engine.targetRestarted("127.0.0.1:57009", "shop", kStart + 30s);  // not billing: ignored
  engine.targetRestarted("127.0.0.1:57008", "billing", kStart + 30s);
  engine.levelNotRestored("127.0.0.1:57008", "billing", "ui", kStart + 30s);  // not db
  EXPECT_EQ(changes(engine, kStart + 30s), "RFFF");  // rate over; lost, gone, restarted
  engine.targetSeen("127.0.0.1:57009", "shop", kStart + 40s);
  engine.levelNotRestored("127.0.0.1:57008", "billing", "db", kStart + 40s);
  EXPECT_EQ(changes(engine, kStart + 40s), "RF");  // back; the db level
  EXPECT_EQ(changes(engine, kStart + 61s), "R");   // the first loss left the minute
  EXPECT_EQ(changes(engine, kStart + 90s), "R");   // the restart held its minute
}

TEST(AlertEngine, AnAlertShowsTheRecordThatLastCountedWhenItFiresAndWhileItFires) {
  alerts::Engine engine({rule("count >= 2 within 10s"), rule("rate > 1/s over 2s")});
  for (const char* text : {"one", "two", "three"}) {
    engine.selected(0, record(kStart, text));
    engine.selected(1, record(kStart, text));
  }
  const auto fired = engine.evaluate(kStart + 1s);
  ASSERT_EQ(fired.size(), 2u);
  for (const auto& change : fired) EXPECT_EQ(change.alert.last.text, "three") << change.alert.rule;
  engine.selected(0, record(kStart + 1s, "four"));
  engine.selected(1, record(kStart + 1s, "four"));
  EXPECT_EQ(changes(engine, kStart + 1s), "");
  for (const auto& alert : engine.firing()) EXPECT_EQ(alert.last.text, "four") << alert.rule;
}

TEST(AlertEngine, AlertsCarryTheirLabelsAndFilledTemplates) {
  alerts::Rule r = rule("count >= 2 within 1m");
  r.name = "db errors";
  r.labels = {{"severity", "page"}};
  r.annotations = {{"summary", "{{count}} from {{component}} on {{target}}: {{text}} {{x}}"}};
  alerts::Engine engine({r});
  engine.selected(0, record(kStart, "first"));
  engine.selected(0, record(kStart + 1s, "disk full"));
  const auto fired = engine.evaluate(kStart + 1s);
  ASSERT_EQ(fired.size(), 1u);
  const alerts::Alert& alert = fired[0].alert;
  EXPECT_EQ(alert.labels,
            (std::map<std::string, std::string>{
                {"alertname", "db errors"}, {"severity", "page"}, {"target", "127.0.0.1:57008"}}));
  EXPECT_EQ(alert.annotations.at("summary"), "2 from db on 127.0.0.1:57008: disk full {{x}}");
  EXPECT_EQ(alert.startsAt, kStart + 1s);
}

template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

// A TCP port on loopback that nothing listens on (this namespace is the
// test's own, so nobody takes it before the test does).
int freePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

// An HTTP receiver on loopback that keeps every body posted to it. Its
// port is chosen at once; until start(), and after stop() until the next
// start(), nothing listens there, so connections are refused.
class Receiver {
 public:
  Receiver() : port(freePort()) {}
  ~Receiver() { stop(); }
  void start() {
    server = std::make_unique<httplib::Server>();
    server->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex);
      bodies.push_back({request.path, request.body});
      response.status = 200;
    });
    thread = std::thread([this] { server->listen("127.0.0.1", port); });
    // Listening once it answers: a stop() right after must not race the bind.
    httplib::Client probe("127.0.0.1", port);
    EXPECT_TRUE(eventually([&] { return static_cast<bool>(probe.Get("/")); }));
  }
  void stop() {
    if (!server) return;
    server->stop();
    thread.join();
    server.reset();
  }
  // Whether some body holds `part`, waiting up to `limit` for one.
  bool awaitPart(const std::string& part, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex);
        for (const auto& body : bodies) {
          if (body.second.find(part) != std::string::npos) return true;
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  std::string url(const std::string& path = "/hook") const {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return bodies.size();
  }
  // The bodies once there are at least `count`; fails after 10 s.
  std::vector<std::pair<std::string, std::string>> await(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex);
        if (bodies.size() >= count) return bodies;
      }
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "the receiver got fewer than " << count << " posts";
    return {};
  }

 private:
  int port = 0;
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> bodies;
};

alerts::Transition change(alerts::Transition::Kind kind, const std::string& text = "disk full") {
  alerts::Alert alert;
  alert.rule = "db errors";
  alert.target = "127.0.0.1:57008";
  alert.labels = {{"alertname", "db errors"}, {"target", "127.0.0.1:57008"}};
  alert.annotations = {{"summary", "2 errors"}};
  alert.startsAt = kStart;
  alert.endsAt = kStart + 1min;
  alert.count = 2;
  alert.last = record(kStart, text);
  return {kind, alert};
}

TEST(Notifier, AWebhookDownAtFirstGetsEveryChangeInOrder) {
  Receiver receiver;  // bound, not yet listening: refused
  alerts::NotifierOptions options;
  options.destinations = {{alerts::Destination::Kind::kWebhook, receiver.url()}};
  options.firstRetry = 50ms;
  options.maxRetryPause = 100ms;
  options.attempts = 1000;
  alerts::Notifier notifier(options);
  notifier.post(change(alerts::Transition::Kind::kFiring, "first\nline"));
  notifier.post(change(alerts::Transition::Kind::kResolved));
  ASSERT_TRUE(eventually([&] { return notifier.stats().retried >= 2; }));
  receiver.start();
  const auto bodies = receiver.await(2);
  ASSERT_EQ(bodies.size(), 2u);
  const auto firing = nlohmann::json::parse(bodies[0].second);
  EXPECT_EQ(firing["status"], "firing");
  EXPECT_EQ(firing["rule"], "db errors");
  EXPECT_EQ(firing["context"]["text"], "first\nline");
  EXPECT_EQ(firing["context"]["sequence"], 7);
  EXPECT_FALSE(firing.contains("endsAt"));
  const auto resolved = nlohmann::json::parse(bodies[1].second);
  EXPECT_EQ(resolved["status"], "resolved");
  EXPECT_EQ(resolved["endsAt"], alerts::rfc3339(kStart + 1min));
  EXPECT_TRUE(eventually([&] { return notifier.stats().sent == 2; }));
  EXPECT_EQ(notifier.stats().dropped, 0u);
}

TEST(Notifier, AFullQueueAndAFailingCommandAreCountedAsDropped) {
  Receiver refusing;  // never started
  alerts::NotifierOptions options;
  options.destinations = {{alerts::Destination::Kind::kWebhook, refusing.url()}};
  options.queueLimit = 2;
  options.firstRetry = 10s;
  alerts::Notifier full(options);
  for (int i = 0; i < 5; ++i) full.post(change(alerts::Transition::Kind::kFiring));
  EXPECT_EQ(full.stats().dropped, 3u);  // the one in flight and one more are kept
  EXPECT_EQ(full.stats().queued, 2u);

  alerts::NotifierOptions slow;
  slow.destinations = {{alerts::Destination::Kind::kCommand, "sleep 10"}};
  slow.timeout = 200ms;
  slow.attempts = 1;
  alerts::Notifier killed(slow);
  killed.post(change(alerts::Transition::Kind::kFiring));
  EXPECT_TRUE(eventually([&] { return killed.stats().dropped == 1; }));
}

TEST(Notifier, ACommandGetsTheAlertInItsEnvironmentAndOnItsInput) {
  char directory[] = "/tmp/alerts_test.XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string out = std::string(directory) + "/out";
  alerts::NotifierOptions options;
  options.destinations = {{alerts::Destination::Kind::kCommand,
                           "{ echo \"$TARVIN_ALERT_STATUS $TARVIN_ALERT_NAME "
                           "$TARVIN_ALERT_COMPONENT $TARVIN_ALERT_COUNT\"; cat; } > " +
                               out + ".tmp && mv " + out + ".tmp " + out}};
  alerts::Notifier notifier(options);
  notifier.post(change(alerts::Transition::Kind::kFiring));
  ASSERT_TRUE(eventually([&] { return std::ifstream(out).good(); }));
  std::ifstream in(out);
  std::string environment, json;
  std::getline(in, environment);
  std::getline(in, json);
  EXPECT_EQ(environment, "firing db errors db 2");
  EXPECT_EQ(nlohmann::json::parse(json)["annotations"]["summary"], "2 errors");
  std::remove(out.c_str());
  ::rmdir(directory);
}

TEST(Notifier, AnAlertmanagerIsSentWhatFiresAgainUntilItResolves) {
  Receiver alertmanager;
  alertmanager.start();
  alerts::NotifierOptions options;
  options.destinations = {{alerts::Destination::Kind::kAlertmanager, alertmanager.url("")}};
  options.resend = 100ms;
  alerts::Notifier notifier(options);
  const alerts::Transition firing = change(alerts::Transition::Kind::kFiring);
  notifier.post(firing);
  notifier.setFiring({firing.alert});
  const auto bodies = alertmanager.await(3);  // the change, then re-sends
  ASSERT_GE(bodies.size(), 3u);
  for (const auto& [path, body] : bodies) {
    EXPECT_EQ(path, "/api/v2/alerts");
    const auto alerts = nlohmann::json::parse(body);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0]["labels"]["alertname"], "db errors");
    EXPECT_EQ(alerts[0]["startsAt"], alerts::rfc3339(kStart));
    EXPECT_GT(alerts[0]["endsAt"].get<std::string>(), alerts::rfc3339(alerts::Clock::now()));
  }
}

TEST(Notifier, ASyslogCollectorGetsOneMessageWhenItFiresAndOneWhenItResolves) {
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(socket, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const timeval wait{10, 0};  // a hang, not a speed
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  alerts::NotifierOptions options;
  options.destinations = {{alerts::Destination::Kind::kSyslog,
                           "udp://127.0.0.1:" + std::to_string(ntohs(address.sin_port))}};
  alerts::Notifier notifier(options);
  notifier.post(change(alerts::Transition::Kind::kFiring));
  notifier.post(change(alerts::Transition::Kind::kResolved));
  std::vector<std::string> messages;
  for (int i = 0; i < 2; ++i) {
    char buffer[2048];
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0) << "message " << i << " did not arrive";
    messages.emplace_back(buffer, static_cast<std::size_t>(n));
  }
  ::close(socket);
  // <PRI> is user (1) * 8 + warning (4) or notice (5).
  EXPECT_EQ(messages[0].rfind("<12>1 " + alerts::rfc3339(kStart).substr(0, 19), 0), 0u)
      << messages[0];
  EXPECT_EQ(messages[1].rfind("<13>1 " + alerts::rfc3339(kStart + 1min).substr(0, 19), 0), 0u)
      << messages[1];
  for (const std::string& m : messages) EXPECT_NE(m.find(" tarvin-remote "), std::string::npos);
  EXPECT_NE(messages[0].find("] alert db errors firing on 127.0.0.1:57008: 2 errors"),
            std::string::npos)
      << messages[0];
  EXPECT_NE(messages[1].find("state=\"resolved\""), std::string::npos) << messages[1];
  EXPECT_NE(messages[1].find("] alert db errors resolved on 127.0.0.1:57008: 2 errors"),
            std::string::npos)
      << messages[1];
}

TEST(Notifier, DestinationsAndTimes) {
  alerts::Destination d;
  std::string error;
  EXPECT_TRUE(alerts::parseDestination("webhook=http://127.0.0.1:9/hook", d, error));
  EXPECT_EQ(d.kind, alerts::Destination::Kind::kWebhook);
  EXPECT_TRUE(alerts::parseDestination("alertmanager=http://am:9093", d, error));
  EXPECT_TRUE(alerts::parseDestination("command=logger -t alert", d, error));
  EXPECT_EQ(d.address, "logger -t alert");
  EXPECT_FALSE(alerts::parseDestination("webhook=https://x", d, error));
  EXPECT_TRUE(alerts::parseDestination("syslog=tcp://127.0.0.1:6514", d, error));
  EXPECT_EQ(d.kind, alerts::Destination::Kind::kSyslog);
  EXPECT_FALSE(alerts::parseDestination("syslog=127.0.0.1:514", d, error));
  EXPECT_NE(error.find("udp://HOST:PORT"), std::string::npos);
  EXPECT_FALSE(alerts::parseDestination("email=a@b", d, error));
  EXPECT_NE(error.find("alertmanager=URL"), std::string::npos);
  EXPECT_EQ(alerts::rfc3339(alerts::Time{} + 1500ms), "1970-01-01T00:00:01.500Z");
}

TEST(MetricsText, WritesWhatPromtoolAccepts) {
  alerts::MetricsText metrics;
  metrics.family("tarvin_records_received_total", "Records received,\nper target",
                 alerts::MetricsText::Type::kCounter);
  metrics.sample("tarvin_records_received_total",
                 {{"target", "127.0.0.1:57008"}, {"application", "a \"quoted\\ name\n"}},
                 12345678901234.0);
  metrics.family("tarvin_spool_bytes", "Bytes waiting in the spool",
                 alerts::MetricsText::Type::kGauge);
  metrics.sample("tarvin_spool_bytes", {}, 0);
  alerts::Histogram latency({0.001, 0.01, 0.1});
  for (const double v : {0.0005, 0.002, 0.002, 5.0}) latency.observe(v);
  metrics.family("tarvin_insert_seconds", "Time of one insert",
                 alerts::MetricsText::Type::kHistogram);
  metrics.histogram("tarvin_insert_seconds", {{"store", "logs.db"}}, latency);
  EXPECT_EQ(metrics.text(),
            "# HELP tarvin_records_received_total Records received,\\nper target\n"
            "# TYPE tarvin_records_received_total counter\n"
            "tarvin_records_received_total{target=\"127.0.0.1:57008\",application=\"a "
            "\\\"quoted\\\\ name\\n\"} 12345678901234\n"
            "# HELP tarvin_spool_bytes Bytes waiting in the spool\n"
            "# TYPE tarvin_spool_bytes gauge\n"
            "tarvin_spool_bytes 0\n"
            "# HELP tarvin_insert_seconds Time of one insert\n"
            "# TYPE tarvin_insert_seconds histogram\n"
            "tarvin_insert_seconds_bucket{store=\"logs.db\",le=\"0.001\"} 1\n"
            "tarvin_insert_seconds_bucket{store=\"logs.db\",le=\"0.01\"} 3\n"
            "tarvin_insert_seconds_bucket{store=\"logs.db\",le=\"0.1\"} 3\n"
            "tarvin_insert_seconds_bucket{store=\"logs.db\",le=\"+Inf\"} 4\n"
            "tarvin_insert_seconds_sum{store=\"logs.db\"} 5.0045\n"
            "tarvin_insert_seconds_count{store=\"logs.db\"} 4\n");
  if (::access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool not installed";
  char path[] = "/tmp/metrics_test.XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, metrics.text().data(), metrics.text().size()),
            static_cast<ssize_t>(metrics.text().size()));
  ::close(fd);
  const std::string command = std::string("promtool check metrics < ") + path + " 2>&1";
  FILE* promtool = ::popen(command.c_str(), "r");
  std::string said;
  for (char buffer[256]; std::fgets(buffer, sizeof buffer, promtool) != nullptr;) said += buffer;
  EXPECT_EQ(::pclose(promtool), 0) << said;
  EXPECT_EQ(said, "");
  std::remove(path);
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The whole road an operator sets up: rules, a recorder on a real example
// host, a real Alertmanager routing to a webhook (here the test).
TEST(AlertsEndToEnd, ARuleFiresThroughAlertmanagerAndResolvesWhenTheErrorsStop) {
  if (::access("/usr/bin/prometheus-alertmanager", X_OK) != 0)
    GTEST_SKIP() << "prometheus-alertmanager not installed";
  char directory[] = "/tmp/alerts_e2e.XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string dir = directory;
  Receiver webhook;
  webhook.start();
  const int alertmanagerPort = freePort();
  writeFile(dir + "/alertmanager.yml",
            "route:\n  receiver: test\n  group_by: [alertname, target]\n  group_wait: 0s\n"
            "  group_interval: 1s\n  repeat_interval: 1h\n"
            "receivers:\n- name: test\n  webhook_configs:\n  - url: " +
                webhook.url() + "\n    send_resolved: true\n");
  tooltest::Child alertmanager(
      {"/usr/bin/prometheus-alertmanager", "--config.file=" + dir + "/alertmanager.yml",
       "--storage.path=" + dir + "/data",
       "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort),
       "--cluster.listen-address="});
  httplib::Client probe("127.0.0.1", alertmanagerPort);
  ASSERT_TRUE(eventually([&] {
    const auto ready = probe.Get("/-/ready");
    return ready && ready->status == 200;
  })) << alertmanager.seen().err;
  writeFile(dir + "/rules.toml",
            "[[rule]]\nname = \"db errors\"\ncomponents = [\"db\"]\nmin_level = \"error\"\n"
            "condition = \"count >= 3 within 2s\"\n"
            "annotations = { summary = \"{{count}} errors from {{component}}\" }\n");
  {
    std::optional<tooltest::ExampleHost> host(std::in_place, "1000");
    tooltest::Child recorder({TARVIN_REMOTE_BIN, "record", "--db", dir + "/logs.db", "--alerts",
                              dir + "/rules.toml", "--notify",
                              "alertmanager=http://127.0.0.1:" + std::to_string(alertmanagerPort),
                              host->target()});
    EXPECT_TRUE(webhook.awaitPart("\"status\":\"firing\"")) << recorder.seen().err;
    host.reset();  // the errors stop
    EXPECT_TRUE(webhook.awaitPart("\"status\":\"resolved\"")) << recorder.seen().err;
    const tooltest::Outcome outcome = recorder.finish(SIGINT);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
    EXPECT_TRUE(tooltest::contains(outcome.err, "1 alert fired")) << outcome.err;
    EXPECT_TRUE(tooltest::contains(outcome.err, "NOT delivered") == false) << outcome.err;
  }
  alertmanager.finish(SIGTERM);
  std::filesystem::remove_all(dir);
}

// The value of the sample `name` (without labels) in a recorder's
// /metrics; -1 when there is none or no answer.
double metric(httplib::Client& recorder, const std::string& name) {
  const auto answer = recorder.Get("/metrics");
  if (!answer || answer->status != 200) return -1;
  for (const std::string& line : tooltest::lines(answer->body)) {
    if (line.rfind(name + " ", 0) == 0) return std::stod(line.substr(name.size() + 1));
  }
  return -1;
}

// A webhook that is down when the alerts fire, up for a while, then down
// again when they resolve. More alerts change at once than a destination's
// queue holds: the recording goes on and stores every record of the host;
// what the queue took is retried until the webhook is back and arrives;
// what it could not take is counted at once in the metrics, then in the
// summary and the exit status.
TEST(AlertsEndToEnd, AWebhookDownForAWhileCostsNoRecordAndGetsWhatItsQueueHeld) {
  char directory[] = "/tmp/alerts_down.XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string dir = directory;
  const std::size_t queue = alerts::NotifierOptions{}.queueLimit;
  const std::size_t rules = queue + 40;
  const std::size_t overflow = rules - queue;
  std::string text;
  for (std::size_t i = 0; i < rules; ++i)
    text +=
        "[[rule]]\nname = \"r" + std::to_string(i) + "\"\ncondition = \"count >= 1 within 3s\"\n";
  writeFile(dir + "/rules.toml", text);
  Receiver webhook;  // refused until started
  const int metricsPort = freePort();
  std::optional<tooltest::ExampleHost> host(std::in_place, "100");
  tooltest::Child recorder({TARVIN_REMOTE_BIN, "record", "--db", dir + "/logs.db", "--alerts",
                            dir + "/rules.toml", "--notify", "webhook=" + webhook.url(),
                            "--metrics", "127.0.0.1:" + std::to_string(metricsPort),
                            host->target()});
  httplib::Client metrics("127.0.0.1", metricsPort);
  // Waits reading the recorder's stderr, where it says each change: a pipe
  // nobody reads would stop it.
  const auto until = [&](auto condition) {
    return recorder.waitFor([&](const tooltest::Outcome&) { return condition(); }, 20s);
  };
  const auto counted = [&](const char* name, std::size_t value) {
    return until([&] { return metric(metrics, name) == static_cast<double>(value); });
  };
  // Every rule fires on the first records: what the queue cannot take is
  // counted while the webhook still refuses the first of the rest.
  EXPECT_TRUE(counted("tarvin_notifications_dropped_total", overflow)) << recorder.seen().err;
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(metric(metrics, "tarvin_notifications_sent_total"), 0);
  webhook.start();
  EXPECT_TRUE(until([&] { return webhook.count() == queue; }));
  EXPECT_TRUE(counted("tarvin_notifications_sent_total", queue)) << recorder.seen().err;

  // Down again; the records stop, and every alert resolves at once.
  webhook.stop();
  host.reset();
  EXPECT_TRUE(counted("tarvin_notifications_dropped_total", 2 * overflow)) << recorder.seen().err;
  std::this_thread::sleep_for(1s);
  webhook.start();
  EXPECT_TRUE(until([&] { return webhook.count() == 2 * queue; }));
  const auto bodies = webhook.await(2 * queue);
  ASSERT_EQ(bodies.size(), 2 * queue);
  EXPECT_EQ(nlohmann::json::parse(bodies[0].second)["status"], "firing");
  EXPECT_EQ(nlohmann::json::parse(bodies.back().second)["status"], "resolved");
  EXPECT_TRUE(counted("tarvin_notifications_sent_total", 2 * queue)) << recorder.seen().err;

  const tooltest::Outcome outcome = recorder.finish(SIGINT);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.err;  // notifications were lost
  EXPECT_TRUE(tooltest::contains(
      outcome.err, std::to_string(rules) + " alerts fired, " + std::to_string(2 * queue) +
                       " notifications sent, " + std::to_string(2 * overflow) + " NOT delivered"))
      << outcome.err;
  EXPECT_TRUE(tooltest::contains(outcome.err, "; nothing lost")) << outcome.err;
  // Every record the host numbered, in the store.
  const tooltest::Outcome stored = tooltest::remote({"query", "--db", dir + "/logs.db", "--json"});
  std::vector<std::uint32_t> sequences;
  for (const std::string& line : tooltest::lines(stored.out)) {
    const auto row = nlohmann::json::parse(line);
    if (row["type"] == "record") sequences.push_back(row["sequence"].get<std::uint32_t>());
  }
  ASSERT_FALSE(sequences.empty());
  std::sort(sequences.begin(), sequences.end());
  EXPECT_EQ(sequences.back() - sequences.front() + 1, sequences.size())
      << "records missing from the store";
  std::filesystem::remove_all(dir);
}

TEST(AlertsEndToEnd, PrometheusScrapesWhatARecorderStored) {
  if (::access("/usr/bin/prometheus", X_OK) != 0) GTEST_SKIP() << "prometheus not installed";
  char directory[] = "/tmp/metrics_e2e.XXXXXX";
  ASSERT_NE(::mkdtemp(directory), nullptr);
  const std::string dir = directory;
  const int metricsPort = freePort();
  const int prometheusPort = freePort();
  writeFile(dir + "/prometheus.yml",
            "global:\n  scrape_interval: 1s\nscrape_configs:\n- job_name: recorder\n"
            "  static_configs:\n  - targets: ['127.0.0.1:" +
                std::to_string(metricsPort) + "']\n");
  tooltest::ExampleHost host("200");
  tooltest::Child recorder({TARVIN_REMOTE_BIN, "record", "--db", dir + "/logs.db", "--metrics",
                            "127.0.0.1:" + std::to_string(metricsPort), host.target()});
  tooltest::Child prometheus({"/usr/bin/prometheus", "--config.file=" + dir + "/prometheus.yml",
                              "--storage.tsdb.path=" + dir + "/data",
                              "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)});
  httplib::Client api("127.0.0.1", prometheusPort);
  double stored = 0;
  EXPECT_TRUE(eventually([&] {
    const auto answer =
        api.Get("/api/v1/query?query=sum(tarvin_records_stored_total{application=%22e2e-host%22})");
    if (!answer || answer->status != 200) return false;
    const auto result = nlohmann::json::parse(answer->body)["data"]["result"];
    if (result.empty()) return false;
    stored = std::stod(result[0]["value"][1].get<std::string>());
    return stored > 0;
  })) << prometheus.seen().err;
  EXPECT_GT(stored, 0);
  prometheus.finish(SIGTERM);
  const tooltest::Outcome outcome = recorder.finish(SIGINT);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::filesystem::remove_all(dir);
}

}  // namespace
