// tests/web/web_server_test.cpp
//
// The web console's server as a user starts it, without a browser: a real
// `tarvin-remote web` following a real example host, asked over plain HTTP
// on loopback. What a browser cannot show lives here: who gets the port,
// which Host a loopback console serves, what each named token may do, and
// the audit row each change the console makes leaves, named by its token,
// and the alert a temporary change it could not put back raises.
//
// Threads: the test's thread only; the tools are child processes.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/socket_address.h"
#include "common/unique_fd.h"
#include "tool_process.h"

namespace {

using tooltest::Child;
using tooltest::contains;
using tooltest::ExampleHost;
using tooltest::Outcome;
using namespace std::chrono_literals;

// A running `web` and the port it printed; killed at the end of the test.
struct Console {
  explicit Console(const std::string& target, const std::string& listen = "127.0.0.1:0",
                   const std::vector<std::string>& more = {})
      : process(arguments(target, listen, more)) {
    const std::string mark = "web console at http://127.0.0.1:";
    process.waitFor([&](const Outcome& o) {
      const std::size_t at = o.out.find(mark);
      if (at == std::string::npos || o.out.find('\n', at) == std::string::npos) return false;
      port = std::stoi(o.out.substr(at + mark.size()));
      return true;
    });
    EXPECT_NE(port, 0) << "web did not start: " << process.seen().err;
  }
  static std::vector<std::string> arguments(const std::string& target, const std::string& listen,
                                            const std::vector<std::string>& more) {
    std::vector<std::string> args = {TARVIN_REMOTE_BIN, "web", target, "--listen", listen};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  Child process;
  int port = 0;
};

struct Reply {
  int status = 0;  // 0 when nothing answers
  std::string body;
};

// `METHOD path` with this Host header, other headers and body.
Reply requestOf(int port, const std::string& path, const std::string& host,
                const std::string& method = "GET", const std::string& headers = "",
                const std::string& body = "") {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in to = loopbackAddress(static_cast<std::uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return {};
  const std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" +
                              headers + "Content-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
  if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return {};
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) > 0;)
    reply.append(buffer, static_cast<std::size_t>(n));
  if (!reply.starts_with("HTTP/1.1 ")) return {};
  const std::size_t head = reply.find("\r\n\r\n");
  return {std::stoi(reply.substr(9, 3)),
          head == std::string::npos ? std::string() : reply.substr(head + 4)};
}

int statusOf(int port, const std::string& path, const std::string& host,
             const std::string& method = "GET", const std::string& headers = "",
             const std::string& body = "") {
  return requestOf(port, path, host, method, headers, body).status;
}

// A second console on a port in use must not share it: the kernel would
// deal the connections out between the two, and half of a page's requests
// would go to a console following other targets into another store.
TEST(WebServer, ASecondConsoleOnAPortInUseFailsAndTheFirstKeepsIt) {
  ExampleHost host("20");
  Console first(host.target());
  ASSERT_NE(first.port, 0);
  const std::string listen = "127.0.0.1:" + std::to_string(first.port);
  // Ends by itself when it fails as it must; a second console that got the
  // port runs until killed, which gives exit code -1.
  const Outcome second =
      Child({TARVIN_REMOTE_BIN, "web", host.target(), "--listen", listen}).finish(0, 10s);
  EXPECT_EQ(second.exitCode, 1) << second.err;
  EXPECT_TRUE(contains(second.err, "web: cannot listen on " + listen + ": address in use"))
      << second.err;
  EXPECT_FALSE(contains(second.out, "web console at")) << second.out;
  // The first still has every connection.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(statusOf(first.port, "/", listen), 200) << "request " << i;
}

// A page of another site reaches a loopback console through a name it
// points at 127.0.0.1, and the browser sends that name as Host: a loopback
// console serves neither its page nor its API under any name but loopback's.
TEST(WebServer, OnLoopbackOnlyALoopbackHostIsServed) {
  ExampleHost host("20");
  Console console(host.target());
  ASSERT_NE(console.port, 0);
  const std::string port = ":" + std::to_string(console.port);
  struct Case {
    std::string host;
    int status;  // for every path
  };
  const std::vector<Case> cases = {
      {"127.0.0.1" + port, 200},
      {"localhost" + port, 200},
      {"[::1]" + port, 200},
      {"127.0.0.1", 200},
      {"127.8.9.10" + port, 200},  // all of 127/8 is this machine's
      {"evil.example" + port, 403},
      {"evil.example", 403},
      {"127.evil.example" + port, 403},  // a name under evil.example
      {"127.0.0.1.evil.example", 403},
      {"localhost.evil.example" + port, 403},
      {"", 403},
  };
  for (const std::string path : {"/", "/app.js", "/style.css", "/no-such-file", "/api/targets"}) {
    for (const Case& c : cases) {
      const int expected = c.status == 200 && path == "/no-such-file" ? 404 : c.status;
      EXPECT_EQ(statusOf(console.port, path, c.host), expected)
          << "GET " << path << " with Host: " << c.host;
    }
  }
}

// Named tokens: a viewer reads everything and changes nothing, an
// operator changes what its applications and components allow, and a
// request without a known token gets nothing. What the operator changes,
// and the console puts back (when the time is up, and at its end), are
// rows of the audit trail under its name; the refused calls left none.
TEST(WebServer, EachTokenMayDoWhatItsRoleAllows) {
  ExampleHost host("20", "payments");
  char path[] = "/tmp/web_tokens.XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string tokens =
      "[[token]]\nname = \"vera\"\ntoken = \"viewer-secret-0001\"\nrole = \"viewer\"\n"
      "[[token]]\nname = \"otto\"\ntoken = \"operator-secret-01\"\nrole = \"operator\"\n"
      "components = [\"db\"]\n";
  ASSERT_EQ(::write(fd, tokens.data(), tokens.size()), static_cast<ssize_t>(tokens.size()));
  ::close(fd);
  const std::string db = std::string(path) + ".db";
  std::optional<Console> running(std::in_place, host.target(), "127.0.0.1:0",
                                 std::vector<std::string>{"--tokens", path, "--db", db});
  Console& console = *running;
  const auto until = [](const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(200ms);
  };
  const std::string at = "127.0.0.1:" + std::to_string(console.port);
  // Until the console knows the host by name, as the page shows it.
  until([&] {
    return contains(requestOf(console.port, "/api/targets", at, "GET",
                              "Authorization: Bearer viewer-secret-0001\r\n")
                        .body,
                    "\"application\":\"payments\"");
  });
  ASSERT_NE(console.port, 0);
  const auto bearer = [](const std::string& token) {
    return token.empty() ? std::string() : "Authorization: Bearer " + token + "\r\n";
  };
  const auto change = [&](const std::string& token, const std::string& component,
                          const std::string& body = R"({"levels":"+debug"})") {
    return statusOf(
        console.port, "/api/targets/" + host.target() + "/components/" + component + "/levels", at,
        "PUT", bearer(token) + "Origin: http://" + at + "\r\nContent-Type: application/json\r\n",
        body);
  };
  struct Case {
    const char* who;
    std::string token;
    int read, changeDb, changeNet;
  };
  const Case cases[] = {
      {"no token", "", 401, 401, 401},
      {"an unknown token", "not-one-of-them-at-all", 401, 401, 401},
      {"the viewer", "viewer-secret-0001", 200, 403, 403},
      {"the operator of db", "operator-secret-01", 200, 200, 403},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.who);
    for (const std::string read :
         {"/api/targets", "/api/records?limit=1", "/api/alerts", "/api/audit?component=db"})
      EXPECT_EQ(statusOf(console.port, read, at, "GET", bearer(c.token)), c.read) << read;
    if (c.changeDb == 403) {
      EXPECT_EQ(change(c.token, "db", R"({"levels":"+debug","all_targets":true})"), 403);
      EXPECT_EQ(change(c.token, "db", R"({"levels":"+debug","for":"1s"})"), 403);
    }
    EXPECT_EQ(change(c.token, "db"), c.changeDb);
    EXPECT_EQ(change(c.token, "net"), c.changeNet);
  }

  const std::string operatorToken = "operator-secret-01";
  const auto audit = [&] {
    return tooltest::lines(
        Child({TARVIN_REMOTE_BIN, "query", "--db", db, "--audit", "--component", "db"})
            .finish()
            .out);
  };
  EXPECT_EQ(change(operatorToken, "db", R"({"levels":"+trace","for":"1s"})"), 200);
  until([&] { return audit().size() >= 3; });
  EXPECT_EQ(change(operatorToken, "db", R"({"levels":"-info","for":"1h"})"), 200);
  EXPECT_EQ(console.process.finish(SIGTERM).exitCode, 0) << console.process.seen().err;
  running.reset();
  static const char* const kRows[] = {
      "0xE0000000 (error, warning, info) -> 0xF0000000 (error, warning, info, debug) by otto "
      "(manual)",
      "0xF0000000 (error, warning, info, debug) -> 0xF8000000 (error, warning, info, debug, "
      "trace) by otto (manual)",
      "0xF8000000 (error, warning, info, debug, trace) -> 0xF0000000 (error, warning, info, "
      "debug) by otto (expired)",
      "0xF0000000 (error, warning, info, debug) -> 0xD0000000 (error, warning, debug) by otto "
      "(manual)",
      "0xD0000000 (error, warning, debug) -> 0xF0000000 (error, warning, info, debug) by otto "
      "(restore on exit)",
  };
  const std::vector<std::string> rows = audit();
  ASSERT_EQ(rows.size(), std::size(kRows)) << ::testing::PrintToString(rows);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_TRUE(contains(rows[i], host.target() + " payments db: ")) << rows[i];
    EXPECT_TRUE(rows[i].ends_with(kRows[i])) << rows[i] << "\n  wanted: " << kRows[i];
  }
  std::remove(path);
  std::remove(db.c_str());
}

// Each kind of failure gets its one HTTP status, whichever part of the
// console met it: the API's parameters, the store, level changes.
TEST(WebServer, EachKindOfFailureHasItsStatus) {
  ExampleHost host("20");
  Console console(host.target());
  ASSERT_NE(console.port, 0);
  const std::string at = "127.0.0.1:" + std::to_string(console.port);
  const std::string components = "/api/targets/" + host.target() + "/components";
  const std::string levels = components + "/";
  // The follower learns the components from the records.
  for (int i = 0; i < 100; ++i) {
    if (requestOf(console.port, components, at).body.find("\"db\"") != std::string::npos) break;
    std::this_thread::sleep_for(100ms);
  }
  const std::string put = "Origin: http://" + at + "\r\nContent-Type: application/json\r\n";
  const struct {
    const char* what;
    std::string method, path, body;
    int status;
  } kCases[] = {
      {"a regex the engine refuses", "GET", "/api/records?grep=(", "", 400},
      {"a full-text query SQLite refuses", "GET", "/api/records?match=alpha%20AND%20AND", "", 400},
      {"a time it cannot read", "GET", "/api/records?until=garbage", "", 400},
      {"a level change that does not parse", "PUT", levels + "db/levels",
       R"({"levels":"+nosuchlevel"})", 400},
      {"a component the target lacks", "PUT", levels + "nosuch/levels", R"({"levels":"+debug"})",
       404},
      {"a target not followed", "PUT", "/api/targets/nosuch:1/components/db/levels",
       R"({"levels":"+debug"})", 404},
      {"a change that lands", "PUT", levels + "db/levels", R"({"levels":"+debug"})", 200},
  };
  for (const auto& c : kCases) {
    const Reply r =
        requestOf(console.port, c.path, at, c.method, c.method == "PUT" ? put : "", c.body);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
  }
}

// Level changes from several browsers at once each get their own answer:
// two components changed together, over and over, each while the
// component list (which asks the target for every component's levels) is
// read beside them. Without retries, an answer that went to the wrong
// request is a 502 here rather than a resend that hides it.
TEST(WebServer, LevelChangesAtOnceEachLandWithTheirOwnAnswers) {
  ExampleHost host("20");
  Console console(host.target(), "127.0.0.1:0", {"--timeout", "2s", "--retries", "0"});
  ASSERT_NE(console.port, 0);
  const std::string at = "127.0.0.1:" + std::to_string(console.port);
  const std::string components = "/api/targets/" + host.target() + "/components";
  // The follower learns the components from the records; wait for both.
  for (int i = 0; i < 100; ++i) {
    const Reply r = requestOf(console.port, components, at);
    if (r.body.find("\"db\"") != std::string::npos && r.body.find("\"net\"") != std::string::npos)
      break;
    std::this_thread::sleep_for(100ms);
  }
  struct Case {
    std::string component;
    std::vector<std::string> rounds[2];  // the levels asked, by the round's parity
  };
  const Case cases[] = {
      {"db", {{"error", "debug"}, {"error", "warning", "info"}}},
      {"net", {{"error", "trace"}, {"error", "warning"}}},
  };
  constexpr int kRounds = 20;
  std::vector<std::string> faults[2];
  std::vector<std::thread> clients;
  for (int c = 0; c < 2; ++c) {
    clients.emplace_back([&, c] {
      const Case& mine = cases[c];
      for (int round = 0; round < kRounds; ++round) {
        const std::vector<std::string>& levels = mine.rounds[round % 2];
        std::string list;
        for (const std::string& l : levels) list += (list.empty() ? "" : ",") + l;
        const Reply r =
            requestOf(console.port, components + "/" + mine.component + "/levels", at, "PUT",
                      "Origin: http://" + at + "\r\nContent-Type: application/json\r\n",
                      R"({"levels":")" + list + R"("})");
        const auto body = nlohmann::json::parse(r.body, nullptr, /*allow_exceptions=*/false);
        const std::string seen =
            "round " + std::to_string(round) + ": " + std::to_string(r.status) + " " + r.body;
        if (r.status != 200 || !body.is_object() || body["results"].size() != 1) {
          faults[c].push_back(seen);
          continue;
        }
        const auto& result = body["results"][0];
        const std::set<std::string> enabled(result["enabled"].begin(), result["enabled"].end());
        if (result["component"] != mine.component || result["client_mask"] != result["asked"] ||
            enabled != std::set<std::string>(levels.begin(), levels.end()))
          faults[c].push_back(seen);
      }
    });
  }
  // The component list's reads of every component, meanwhile.
  std::vector<std::string> listFaults;
  for (int i = 0; i < kRounds; ++i) {
    const Reply r = requestOf(console.port, components, at);
    const auto body = nlohmann::json::parse(r.body, nullptr, /*allow_exceptions=*/false);
    bool answered = r.status == 200 && body.is_object() && body["components"].size() >= 2;
    for (const auto& one : body.value("components", nlohmann::json::array()))
      answered = answered && !one.contains("error");
    if (!answered) listFaults.push_back(std::to_string(r.status) + " " + r.body);
  }
  for (std::thread& t : clients) t.join();
  for (int c = 0; c < 2; ++c) {
    EXPECT_TRUE(faults[c].empty()) << cases[c].component << ": " << faults[c].size() << " of "
                                   << kRounds << " wrong, first: " << faults[c].front();
  }
  EXPECT_TRUE(listFaults.empty()) << listFaults.size() << " wrong, first: " << listFaults.front();
  // And the target holds what the last round of each asked.
  const auto last = nlohmann::json::parse(requestOf(console.port, components, at).body);
  for (const Case& c : cases) {
    const auto& levels = c.rounds[(kRounds - 1) % 2];
    for (const auto& one : last["components"]) {
      if (one["name"] != c.component) continue;
      const std::set<std::string> enabled(one["enabled"].begin(), one["enabled"].end());
      EXPECT_EQ(enabled, std::set<std::string>(levels.begin(), levels.end())) << c.component;
    }
  }
}

}  // namespace

// A temporary change the console cannot put back, its target stopped
// before the time was up, leaves the target with levels nobody will
// restore: beyond the warning on stderr, a rule on that event fires, and
// the console's alerts show it, named by target and component.
TEST(WebServer, ARestoreThatFailsFiresTheLevelNotRestoredRule) {
  std::optional<ExampleHost> host(std::in_place, "20", "payments");
  const std::string target = host->target();
  char rules[] = "/tmp/web_not_restored.XXXXXX";
  const int fd = ::mkstemp(rules);
  ASSERT_GE(fd, 0);
  const std::string text =
      "[[rule]]\nname = \"kept levels\"\ncomponents = [\"db\"]\n"
      "condition = \"level not restored\"\n"
      "annotations = { summary = \"{{component}} on {{target}} kept its levels\" }\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  Console console(target, "127.0.0.1:0",
                  {"--alerts", rules, "--timeout", "200ms", "--retries", "1"});
  ASSERT_NE(console.port, 0);
  const std::string at = "127.0.0.1:" + std::to_string(console.port);
  const auto until = [](const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(200ms);
    return condition();
  };
  ASSERT_TRUE(until([&] {
    return contains(requestOf(console.port, "/api/targets/" + target + "/components", at).body,
                    "\"db\"");
  }));
  const std::string put = "Origin: http://" + at + "\r\nContent-Type: application/json\r\n";
  ASSERT_EQ(requestOf(console.port, "/api/targets/" + target + "/components/db/levels", at, "PUT",
                      put, R"({"levels":"+debug","for":"2s"})")
                .status,
            200);
  host.reset();  // before the restore is due
  const std::string summary = "db on " + target + " kept its levels";
  EXPECT_TRUE(until([&] {
    return contains(requestOf(console.port, "/api/alerts", at).body, summary);
  })) << requestOf(console.port, "/api/alerts", at).body
      << "\n"
      << console.process.seen().err;
  EXPECT_TRUE(console.process.waitFor(
      [&](const Outcome& o) { return contains(o.err, "cannot restore db on " + target); }));
  std::remove(rules);
}

// A console stopped while its temporary change is pending puts it back
// first; with the target stopped before, nothing answers: the exit says
// so (stderr, exit 1), the audit trail has the restore marked failed, and
// the 'level not restored' rule fires and reaches its destination after
// the follow has ended.
TEST(WebServer, ARestoreThatFailsAtExitIsSaidWrittenDownAndAlerted) {
  std::optional<ExampleHost> host(std::in_place, "20", "payments");
  const std::string target = host->target();
  char rules[] = "/tmp/web_exit_restore.XXXXXX";
  const int fd = ::mkstemp(rules);
  ASSERT_GE(fd, 0);
  const std::string text =
      "[[rule]]\nname = \"kept levels\"\ncomponents = [\"db\"]\n"
      "condition = \"level not restored\"\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  const std::string db = std::string(rules) + ".db", notified = std::string(rules) + ".alerts";
  Console console(target, "127.0.0.1:0",
                  {"--alerts", rules, "--notify", "command=cat >> " + notified, "--db", db,
                   "--timeout", "200ms", "--retries", "1"});
  ASSERT_NE(console.port, 0);
  const std::string at = "127.0.0.1:" + std::to_string(console.port);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!contains(requestOf(console.port, "/api/targets/" + target + "/components", at).body,
                   "\"db\"") &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(200ms);
  const std::string put = "Origin: http://" + at + "\r\nContent-Type: application/json\r\n";
  ASSERT_EQ(requestOf(console.port, "/api/targets/" + target + "/components/db/levels", at, "PUT",
                      put, R"({"levels":"+debug","for":"1h"})")
                .status,
            200);
  host.reset();  // stops answering; the change is an hour from its restore
  const Outcome stopped = console.process.finish(SIGTERM, 30s);
  EXPECT_EQ(stopped.exitCode, 1) << stopped.err;
  EXPECT_TRUE(contains(stopped.err, "cannot restore db on " + target)) << stopped.err;
  EXPECT_TRUE(contains(stopped.err, "1 temporary level change was not put back")) << stopped.err;
  EXPECT_TRUE(contains(stopped.err, "alert 'kept levels' firing for " + target)) << stopped.err;
  const Outcome audit =
      Child({TARVIN_REMOTE_BIN, "query", "--db", db, "--audit", "--component", "db"}).finish();
  const std::vector<std::string> rows = tooltest::lines(audit.out);
  ASSERT_EQ(rows.size(), 2u) << audit.out << audit.err;
  EXPECT_TRUE(rows[1].ends_with(
      "0xF0000000 (error, warning, info, debug) -> 0xE0000000 (error, warning, info) by loopback "
      "(restore on exit, failed)"))
      << rows[1];
  std::string sent;
  if (FILE* file = std::fopen(notified.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
      sent.append(buffer, n);
    std::fclose(file);
  }
  EXPECT_TRUE(contains(sent, "\"rule\":\"kept levels\"") && contains(sent, target)) << sent;
  for (const std::string& file : {std::string(rules), db, notified}) std::remove(file.c_str());
}

// A target that stopped answering (its host stopped with SIGSTOP: it
// takes requests and answers none) holds up no other target's level
// changes: not while the restore thread finds it silent, nor while a
// change to it waits out its retries (3 s x 3 here). The other target's
// change is answered well before either is over.
TEST(WebServer, ASilentTargetHoldsUpNoOtherTargetsLevelChange) {
  Child silentHost({TARVIN_EXAMPLE_HOST_BIN, "--plugin", TARVIN_PLUGIN_PATH, "--name", "silent",
                    "--rate", "20", "--threads", "2"});
  std::string silentTarget;
  silentHost.waitFor([&](const Outcome& o) {
    const std::size_t at = o.out.find("target port ");
    if (at == std::string::npos || o.out.find('\n', at) == std::string::npos) return false;
    silentTarget = "127.0.0.1:" + std::to_string(std::stoi(o.out.substr(at + 12)));
    return true;
  });
  ASSERT_FALSE(silentTarget.empty()) << silentHost.seen().err;
  ExampleHost other("20", "other");
  Console console(silentTarget, "127.0.0.1:0",
                  {other.target(), "--timeout", "3s", "--retries", "2"});
  ASSERT_NE(console.port, 0);
  const std::string at = "127.0.0.1:" + std::to_string(console.port);
  const auto levelsOf = [&](const std::string& target) {
    return "/api/targets/" + target + "/components/db/levels";
  };
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (const std::string& target : {silentTarget, other.target()}) {
    while (!contains(requestOf(console.port, "/api/targets/" + target + "/components", at).body,
                     "\"db\"") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(200ms);
  }
  const std::string put = "Origin: http://" + at + "\r\nContent-Type: application/json\r\n";
  const auto change = [&](const std::string& target, const std::string& body) {
    return requestOf(console.port, levelsOf(target), at, "PUT", put, body);
  };
  // Answered within this, where waiting behind the silent target takes 9 s.
  constexpr auto kPrompt = 4s;
  const auto timed = [&](const std::string& body) {
    const auto start = std::chrono::steady_clock::now();
    const Reply reply = change(other.target(), body);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return std::chrono::steady_clock::now() - start;
  };

  ASSERT_EQ(change(silentTarget, R"({"levels":"+debug","for":"1s"})").status, 200);
  ::kill(silentHost.pid(), SIGSTOP);  // killed (SIGKILL) at the end, stopped or not
  std::this_thread::sleep_for(2s);    // the restore is due, its target silent
  EXPECT_LT(timed(R"({"levels":"+debug"})"), kPrompt) << "behind the restore of a silent target";

  Reply silentReply;
  std::thread asking([&] { silentReply = change(silentTarget, R"({"levels":"+trace"})"); });
  std::this_thread::sleep_for(500ms);  // its request is out, waiting for an answer
  EXPECT_LT(timed(R"({"levels":"-debug"})"), kPrompt) << "behind a change to a silent target";
  asking.join();
  EXPECT_EQ(silentReply.status, 502) << silentReply.body;
}
