// tests/tools/remote_tools_test.cpp
//
// tarvin-remote and tarvin-example-host as a user runs them: real binaries
// started as subprocesses, talking over loopback inside the test's own
// network namespace. Captures are replayed and read by tshark; mistakes
// give their exit status and message; a fleet's levels are set and put
// back; several hosts are followed at once, one of them restarted.
//
// Threads: gtest's thread runs the cases and the subprocesses' pipes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "tool_process.h"

namespace {

using namespace tooltest;

// set-level keeps the masks --reset puts back under XDG_STATE_HOME: in the
// test's temporary directory, not the user's home.
const bool kStateInTempDir = ::setenv("XDG_STATE_HOME", ::testing::TempDir().c_str(), 1) == 0;

}  // namespace

// One host, asked every way a user asks; the capture of the first tail is
// replayed at the end.
TEST(RemoteTools, OneHostAsAUserSeesIt) {
  ExampleHost host;
  const Outcome discover = remote({"discover", "127.0.0.1", "--json"});
  const auto found = nlohmann::json::parse(discover.out);
  EXPECT_EQ(found["port"], host.port);
  EXPECT_EQ(found["application"], "e2e-host");

  const Outcome components = remote({"components", host.target()});
  const auto rows = lines(components.out);
  ASSERT_EQ(rows.size(), 4u) << components.out;  // heading and three components
  EXPECT_EQ(rows[1], "net        0xE0000000   error, warning, info");
  const Outcome levels = remote({"levels", host.target(), "net", "--json"});
  EXPECT_EQ(nlohmann::json::parse(levels.out)["levels"][3],
            nlohmann::json::parse(R"({"client_level":28,"text":"debug","enabled":false})"));

  // No port: the tool must find the target by asking the range.
  const std::string pcap = ::testing::TempDir() + "tail_capture.pcap";
  const Outcome tail = remote({"tail", "127.0.0.1", "--count", "6", "--json", "--pcap", pcap});
  EXPECT_TRUE(contains(tail.err, "using target " + host.target())) << tail.err;
  ASSERT_EQ(lines(tail.out).size(), 6u) << tail.out;
  // Only error, warning and info are enabled at start: client levels 31-29.
  const std::map<std::string, int> kEnabled = {{"error", 31}, {"warning", 30}, {"info", 29}};
  for (const std::string& text : lines(tail.out)) {
    const auto r = nlohmann::json::parse(text);
    ASSERT_TRUE(kEnabled.contains(r["level"].get<std::string>())) << text;
    EXPECT_EQ(r["client_mask"], 1u << kEnabled.at(r["level"].get<std::string>())) << text;
  }

  const Outcome set = remote({"set-level", host.target(), "net", "+debug"});
  EXPECT_EQ(set.out, "net: 0xF0000000 (error, warning, info, debug)\n");
  // One in five of net's lines is debug, so 20 records hold some. Asked at
  // 127.0.0.2, the target answers from 127.0.0.1: the tool must still take it.
  const Outcome debug = remote(
      {"tail", "127.0.0.2:" + std::to_string(host.port), "--component", "net", "--count", "20"});
  EXPECT_TRUE(contains(debug.out, " debug ")) << debug.out;
  for (const std::string& line : lines(debug.out)) EXPECT_TRUE(contains(line, " net ")) << line;
  // A temporary change is undone when its time is up.
  const Outcome temporary =
      remote({"set-level", host.target(), "db", "error,trace", "--for", "300ms"});
  EXPECT_EQ(temporary.out,
            "db: 0x88000000 (error, trace)\nrestored db: 0xE0000000 (error, warning, info)\n");

  // Same records, same receive times, same level names (from the level
  // descriptions the live tail asked for, which the capture holds).
  const Outcome replay = remote({"replay", pcap, "--json", "--count", "6"});
  EXPECT_EQ(replay.out, tail.out);
  // Our reader agrees with our writer; tshark shows the file is a capture.
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
  const Outcome dissected =
      Child({"/bin/sh", "-c", "tshark -n -r " + pcap + " -X lua_script:" + TARVIN_DISSECTOR})
          .finish();
  ASSERT_EQ(dissected.exitCode, 0) << dissected.err;
  const auto frames = lines(dissected.out);
  const auto isRecord = [](const std::string& frame) { return contains(frame, "Log record"); };
  EXPECT_GE(std::count_if(frames.begin(), frames.end(), isRecord), 6) << dissected.out;
}

// What a new user runs into, as the user sees it: each row is one command
// line (through sh, for pipes and standard input), its exit status, the
// first line of stderr after the progress notes, and what stdout holds.
// One host runs at {host}; nothing listens on {closed}; {dir} holds a
// capture of the host, the same capture as pcapng and one cut short.
TEST(RemoteTools, MistakesAndEdgesGiveExitStatusAndMessage) {
  ExampleHost host("100");
  const std::string dir = ::testing::TempDir() + "edges";
  ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
  remote({"tail", host.target(), "--count", "5", "--pcap", dir + "/capture.pcap"});
  const Outcome convert =
      Child({"/bin/sh", "-c",
             "editcap -F pcapng " + dir + "/capture.pcap " + dir + "/capture.pcapng"})
          .finish();
  ASSERT_EQ(convert.exitCode, 0) << convert.err;
  const Outcome cut = Child({"/bin/sh", "-c",
                             "head -c $(($(stat -c %s " + dir + "/capture.pcap) - 10)) " + dir +
                                 "/capture.pcap > " + dir + "/cut.pcap"})
                          .finish();
  ASSERT_EQ(cut.exitCode, 0) << cut.err;

  static const struct {
    const char* command;
    int exit;
    const char* firstComplaint;  // a prefix; empty: stderr holds no complaint
    int minLines;                // lines on stdout at least
    const char* everyLine;       // each stdout line holds this (when set)
  } kCases[] = {
      // A network the test's namespace has no route to: said once for the
      // host, not once for each of its ten ports.
      {"test \"$({remote} discover 192.0.2.1 2>&1 | grep -c 'cannot send to 192.0.2.1: ')\" = 1 "
       "&& echo once",
       0, "", 1, "once"},
      // Unknown levels and components are errors, not silence.
      {"{remote} tail {host} --min-level bogus --count 3", 2,
       "tarvin-remote: error: --min-level: no level 'bogus' (known: error, warning, info, debug, "
       "trace)",
       0, ""},
      {"{remote} tail {host} --min-level 99", 2,
       "tarvin-remote: error: --min-level: client level 99 is outside 0-31", 0, ""},
      {"{remote} tail {host} --min-level -5", 2,
       "tarvin-remote: error: --min-level: client level -5 is outside 0-31", 0, ""},
      {"{remote} levels {host} nosuch", 1,
       "tarvin-remote: error: no component 'nosuch' on {host} (it has: net, db, ui)", 0, ""},
      {"{remote} set-level {host} nosuch 0xF0000000", 1,
       "tarvin-remote: error: no component 'nosuch' on {host}", 0, ""},
      {"{remote} set-level {host} nosuch +debug", 1,
       "tarvin-remote: error: no component 'nosuch' on {host}", 0, ""},
      // --reset without its file of masks would do nothing: an error; a
      // change without it is made, with a warning.
      {"XDG_STATE_HOME=/dev/null {remote} set-level {host} net --reset", 1,
       "tarvin-remote: error: cannot open /dev/null/tarvin-remote/masks: Not a directory", 0, ""},
      {"env -u XDG_STATE_HOME -u HOME {remote} set-level {host} net --reset", 1,
       "tarvin-remote: error: neither XDG_STATE_HOME nor HOME names a directory", 0, ""},
      {"XDG_STATE_HOME=/dev/null {remote} set-level {host} ui 0xE0000000", 0,
       "tarvin-remote: warning: cannot open /dev/null/tarvin-remote/running-changes", 1,
       "ui: 0xE0000000"},
      {"{remote} tail {host} --component nosuch --duration 1500ms", 0,
       "tarvin-remote: warning: no component 'nosuch' on {host} (it has: net, db, ui)", 0, ""},
      // A capture cut short shows what was whole, then says where it was cut.
      {"{remote} replay {dir}/cut.pcap", 1,
       "tarvin-remote: error: {dir}/cut.pcap: cut off in packet", 4, " #"},
      // Numbers and durations.
      {"{remote} tail {host} --duration 0", 2, "tarvin-remote: error: --duration: must be above 0",
       0, ""},
      {"{remote} tail {host} --count 0", 2, "tarvin-remote: error: --count: must be at least 1", 0,
       ""},
      {"{remote} discover --retries 101", 2, "tarvin-remote: error: --retries: must be at most 100",
       0, ""},
      {"{remote} forward {host} --to udp://127.0.0.1:9 --queue 0", 2,
       "tarvin-remote: error: --queue: must be at least 1", 0, ""},
      {"{remote} set-level {host} net +debug --for 1x", 2,
       "tarvin-remote: error: --for: invalid duration '1x'", 0, ""},
      {"{remote} tail {host} --count 2 --duration 1h30m", 0, "", 2, " #"},
      {"{example} --threads 0", 2, "tarvin-example-host: error: --threads: must be at least 1", 0,
       ""},
      // A closed port is said at once, not after the retries.
      {"{remote} discover {closed}", 1, "tarvin-remote: error: nothing listens on {closed}", 0, ""},
      {"{remote} levels {closed} net", 1, "tarvin-remote: error: nothing listens on {closed}", 0,
       ""},
      // What every command-line tool does.
      {"{remote}", 2, "Talks to tarvin remote log targets", 0, ""},
      {"{remote} frob", 2,
       "tarvin-remote: error: unknown command 'frob' (commands: discover, tail,", 0, ""},
      {"{remote} tial {host}", 2,
       "tarvin-remote: error: unknown command 'tial' (did you mean 'tail'?)", 0, ""},
      {"{remote} --verison", 2,
       "tarvin-remote: error: unknown option '--verison' (did you mean '--version'?)", 0, ""},
      {"{remote} tail {host} --duraton 1s", 2,
       "tarvin-remote: error: unknown option '--duraton' (did you mean '--duration'?)", 0, ""},
      {"{remote} query --db", 2, "tarvin-remote: error: --db needs a value", 0, ""},
      {"{remote} alerts", 2, "tarvin-remote: error: alerts needs one of: check", 0, ""},
      {"{remote} help levels", 0, "", 5, ""},
      {"{remote} --version", 0, "", 1, "tarvin-remote "},
      {"{example} --version", 0, "", 1, "tarvin-example-host "},
      // Captures from standard input, in pcapng, to standard output.
      {"{remote} replay - < {dir}/capture.pcap", 0, "", 5, " #"},
      {"{remote} replay {dir}/capture.pcapng", 0, "", 5, " #"},
      {"{remote} tail {host} --count 3 --pcap - | {remote} replay -", 0, "", 3, " #"},
  };
  const std::map<std::string, std::string> kPlaces = {{"{remote}", TARVIN_REMOTE_BIN},
                                                      {"{example}", TARVIN_EXAMPLE_HOST_BIN},
                                                      {"{host}", host.target()},
                                                      {"{closed}", "127.0.0.1:57017"},
                                                      {"{dir}", dir}};
  const auto expand = [&](std::string text) {
    for (const auto& [place, value] : kPlaces) {
      for (std::size_t at; (at = text.find(place)) != std::string::npos;)
        text.replace(at, place.size(), value);
    }
    return text;
  };
  for (const auto& c : kCases) {
    const std::string command = expand(c.command);
    SCOPED_TRACE(command);
    const Outcome run = Child({"/bin/sh", "-c", command}).finish();
    EXPECT_EQ(run.exitCode, c.exit) << run.err;
    std::string complaint;
    for (const std::string& line : lines(run.err)) {
      const bool progress = line.starts_with("tarvin-remote: using target") ||
                            line.starts_with("tarvin-remote: following") ||
                            line.starts_with("tarvin-remote: received ");  // a follower's summary
      if (progress) continue;
      complaint = line;
      break;
    }
    EXPECT_TRUE(complaint.starts_with(expand(c.firstComplaint))) << run.err;
    if (*c.firstComplaint == '\0') {
      EXPECT_EQ(complaint, "") << run.err;
    }
    const auto out = lines(run.out);
    EXPECT_GE(static_cast<int>(out.size()), c.minLines) << run.out;
    for (const std::string& line : out) EXPECT_TRUE(contains(line, c.everyLine)) << line;
  }
}

// A set-level that cannot be done as typed touches no target: names,
// components and levels are all checked before the first change, whichever
// target or component the mistake is in.
TEST(RemoteTools, SetLevelChecksEverythingBeforeChangingAnything) {
  const std::vector<ExampleHost> hosts(2);
  const auto masks = [&] {
    std::string all;
    for (const ExampleHost& h : hosts) {
      for (const char* component : {"net", "db", "ui"}) {
        all += h.target() + " " + component + " " +
               remote({"levels", h.target(), component}).out.substr(0, 40) + "\n";
      }
    }
    return all;
  };
  const std::string before = masks();
  static const struct {
    std::vector<std::string> words;  // after "set-level"; {0} and {1} are the hosts
    int exit;
    const char* complaint;
  } kCases[] = {
      // With --all there is no COMPONENT: "net" is taken for a target.
      {{"{0}", "--all", "net", "+debug"}, 2, "cannot resolve host 'net'"},
      {{"{0}", "{1}", "nowhere.invalid", "net", "+debug"}, 2, "cannot resolve host"},
      {{"{0}", "net,nosuch", "+debug"}, 1, "no component 'nosuch' on "},
      {{"{0}", "{1}", "db", "+debug,-bogus"}, 2, "no level 'bogus'"},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> args = {"set-level"};
    for (const std::string& word : c.words) {
      args.push_back(word == "{0}" ? hosts[0].target() : word == "{1}" ? hosts[1].target() : word);
    }
    SCOPED_TRACE(args[1] + " " + args[2] + " " + args[3]);
    const Outcome run = remote(args, c.exit);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(contains(run.err, c.complaint)) << run.err;
    EXPECT_TRUE(contains(run.err, "no target was changed")) << run.err;
    EXPECT_EQ(masks(), before);
  }
}

// One rule for targets that do not answer, in every command that follows:
// it follows those that answer, names each one that does not (nothing
// listens, or silent) and ends at once when none answers; the exit status
// is 1 unless every named target was registered with.
TEST(RemoteTools, FollowersFollowWhatAnswersAndNameWhatDoesNot) {
  ExampleHost host("100");
  const std::string closed = "127.0.0.1:57017";
  // A port that takes requests and never answers.
  UniqueFd quiet(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in quietAt = loopbackAddress(57016);
  ASSERT_EQ(::bind(quiet.get(), reinterpret_cast<const sockaddr*>(&quietAt), sizeof quietAt), 0);
  const std::string silent = "127.0.0.1:57016";
  UniqueFd collector(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in collectorAt = loopbackAddress(0);
  ASSERT_EQ(
      ::bind(collector.get(), reinterpret_cast<const sockaddr*>(&collectorAt), sizeof collectorAt),
      0);
  const std::string to = "udp://127.0.0.1:" + std::to_string(localPort(collector.get()));
  const std::string db = ::testing::TempDir() + "reach.db";

  static const struct {
    std::vector<std::string> targets;  // {closed}, {silent}, {host}
    std::vector<std::string> options;
    const char* said;  // on stderr
    bool follows;      // the live host's records came through
  } kCases[] = {
      {{"{closed}", "{host}"},
       {"--duration", "1s"},
       "error: never registered with {closed}: nothing listens on its port",
       true},
      {{"{host}", "{silent}"},
       {"--duration", "1s", "--timeout", "200ms", "--retries", "1"},
       "error: never registered with {silent}: did not answer 2 registration requests in 0.4 s",
       true},
      // A host without a port where no target answers (nothing routes there).
      {{"192.0.2.1", "{host}"},
       {"--duration", "1s", "--timeout", "200ms", "--retries", "1"},
       "error: no target answered on 192.0.2.1 ports ",
       true},
      {{"{closed}"}, {}, "error: nothing listens on {closed}", false},
      {{"{silent}"},
       {"--timeout", "200ms", "--retries", "1"},
       "error: {silent} did not answer 2 registration requests in 0.4 s",
       false},
      {{"{closed}", "{silent}"},
       {"--timeout", "200ms", "--retries", "1"},
       "error: no target answered: nothing listens on {closed}; {silent} did not answer 2",
       false},
      // A run shorter than the retries never registered: a failure too.
      {{"{silent}"},
       {"--duration", "300ms"},
       "error: never registered with {silent}: no confirm before the end",
       false},
  };
  const auto place = [&](std::string text) {
    for (const auto& [name, value] : std::map<std::string, std::string>{
             {"{closed}", closed}, {"{silent}", silent}, {"{host}", host.target()}}) {
      for (std::size_t at; (at = text.find(name)) != std::string::npos;)
        text.replace(at, name.size(), value);
    }
    return text;
  };
  for (const char* command : {"tail", "record", "forward"}) {
    for (const auto& c : kCases) {
      std::vector<std::string> args = {command};
      for (const std::string& target : c.targets) args.push_back(place(target));
      args.insert(args.end(), c.options.begin(), c.options.end());
      if (std::string(command) == "record") args.insert(args.end(), {"--db", db});
      if (std::string(command) == "forward") args.insert(args.end(), {"--to", to});
      SCOPED_TRACE(args[0] + " " + args[1] + " " + (args.size() > 2 ? args[2] : ""));
      const Outcome run = remote(args, 1);
      EXPECT_TRUE(contains(run.err, "tarvin-remote: " + place(c.said))) << run.err;
      EXPECT_EQ(contains(run.err, "following " + host.target()), c.follows) << run.err;
      if (std::string(command) == "tail") {
        EXPECT_EQ(run.out.empty(), !c.follows) << run.out;
      }
    }
  }
}

// The kernel's ephemeral ports narrowed to [first, last] while in scope,
// in a network namespace of the test's own only (the setting is the
// namespace's): a client is then sure to be offered a target's port.
class EphemeralPorts {
 public:
  EphemeralPorts(int first, int last) {
    const auto netns = [](const std::string& path) {
      struct stat node = {};
      return ::stat(path.c_str(), &node) == 0 ? node.st_ino : 0;
    };
    const auto own = netns("/proc/self/ns/net");
    if (own == 0 || own == netns("/proc/" + std::to_string(::getppid()) + "/ns/net")) return;
    std::getline(std::ifstream(kPath), before);
    narrowed = bool(std::ofstream(kPath) << first << ' ' << last);
  }
  ~EphemeralPorts() {
    if (narrowed) std::ofstream(kPath) << before;
  }
  EphemeralPorts(const EphemeralPorts&) = delete;
  EphemeralPorts& operator=(const EphemeralPorts&) = delete;

 private:
  static constexpr const char* kPath = "/proc/sys/net/ipv4/ip_local_port_range";
  std::string before;
  bool narrowed = false;
};

// A fleet change with --for: every target gets its own mask back when the
// command is stopped, by SIGTERM or by SIGHUP (a dropped SSH session); a
// target that is not there is reported and makes the exit status 1, and
// the others are changed and restored all the same. The client never sits
// on a target's port itself, even where the kernel offers one: it would
// take its own request for the missing target's answer.
TEST(RemoteTools, FleetSetLevelRestoresEachTargetsOwnMaskOnSignals) {
  const std::vector<ExampleHost> hosts(3);
  const std::string dead = "127.0.0.1:57017";
  const EphemeralPorts offered(57017, 57018);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(contains(remote({"levels", dead, "db"}, 1).err, "nothing listens on " + dead));
  }
  const char* const kOwn[] = {"error", "error,warning", "error,warning,info"};
  for (int signal : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    std::vector<std::string> args = {TARVIN_REMOTE_BIN, "set-level"};
    std::vector<std::uint32_t> before;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      remote({"set-level", hosts[i].target(), "db", kOwn[i]});
      before.push_back(nlohmann::json::parse(
          remote({"levels", hosts[i].target(), "db", "--json"}).out)["client_mask"]);
      args.push_back(hosts[i].target());
    }
    args.insert(args.end(), {dead, "db", "+debug", "--for", "1m"});
    Child fleet(args);
    // One line per target that was changed, then the wait.
    ASSERT_TRUE(fleet.waitFor([](const Outcome& o) {
      return contains(o.err, "restoring the previous masks");
    })) << fleet.seen().err;
    for (const ExampleHost& h : hosts) {
      EXPECT_TRUE(contains(fleet.seen().out, h.target() + " db: ")) << fleet.seen().out;
    }
    const Outcome stopped = fleet.finish(signal);
    EXPECT_EQ(stopped.exitCode, 1) << stopped.err;
    EXPECT_TRUE(contains(stopped.err, "tarvin-remote: error: nothing listens on " + dead))
        << stopped.err;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      EXPECT_TRUE(contains(stopped.out, "restored " + hosts[i].target() + " db: ")) << stopped.out;
      const auto after =
          nlohmann::json::parse(remote({"levels", hosts[i].target(), "db", "--json"}).out);
      EXPECT_EQ(after["client_mask"], before[i]) << hosts[i].target();
    }
  }
}

// Temporary changes of one component by several set-level runs at once,
// started together or one after the other: each end puts back only what
// it changed and nobody else holds, and the last one leaves the component
// as it was before the first.
TEST(RemoteTools, OverlappingTemporaryChangesEachUndoOnlyTheirOwn) {
  ExampleHost host;
  const auto launch = [&](const char* levels) {
    return std::make_unique<Child>(std::vector<std::string>{
        TARVIN_REMOTE_BIN, "set-level", host.target(), "net", levels, "--for", "1m"});
  };
  const auto started = [](Child& run) {
    EXPECT_TRUE(run.waitFor([](const Outcome& o) {
      return contains(o.err, "restoring the previous mask after 1m or");
    })) << run.seen().err;
  };
  const auto start = [&](const char* levels) {
    auto run = launch(levels);
    started(*run);
    return run;
  };
  const auto netMask = [&] {
    return nlohmann::json::parse(
               remote({"levels", host.target(), "net", "--json"}).out)["client_mask"]
        .get<std::uint32_t>();
  };
  // Started at the same moment: each adds its level to the mask of the
  // moment it changes it, not to the one both read before either changed.
  auto debug = launch("+debug");
  auto trace = launch("+trace");
  started(*debug);
  started(*trace);
  EXPECT_EQ(netMask(), 0xF8000000u);
  const Outcome debugEnds = debug->finish(SIGTERM);
  EXPECT_EQ(debugEnds.exitCode, 0) << debugEnds.err;
  EXPECT_TRUE(contains(debugEnds.out, "restored net: 0xE8000000 (error, warning, info, trace)"))
      << debugEnds.out;
  EXPECT_EQ(netMask(), 0xE8000000u);

  auto traceAgain = start("+trace");
  const Outcome traceEnds = trace->finish(SIGTERM);
  EXPECT_TRUE(contains(traceEnds.err, host.target() + " net: not restored: trace, held by another "
                                                      "temporary change until "))
      << traceEnds.err;
  EXPECT_EQ(netMask(), 0xE8000000u);
  const Outcome lastEnds = traceAgain->finish(SIGTERM);
  EXPECT_TRUE(contains(lastEnds.out, "restored net: 0xE0000000 (error, warning, info)"))
      << lastEnds.out;
  EXPECT_EQ(netMask(), 0xE0000000u);

  // The web console's timers take part the same way: its change ends
  // when the console stops, with a set-level's change still running.
  Child web({TARVIN_REMOTE_BIN, "web", "--listen", "127.0.0.1:0", host.target()});
  std::string base;
  ASSERT_TRUE(web.waitFor([&](const Outcome& o) {
    const std::size_t at = o.out.find("web console at ");
    const std::size_t end = o.out.find_first_of("/\n", at + 22);
    if (at == std::string::npos || end == std::string::npos) return false;
    base = o.out.substr(at + 15, end - at - 15);
    return true;
  })) << web.seen().err;
  const std::string put =
      "curl -s -o /dev/null -w '%{http_code}' -X PUT -H 'Content-Type: "
      "application/json' -H 'Origin: " +
      base + "' --data '{\"levels\":\"+debug\",\"for\":\"1h\"}' " + base + "/api/targets/" +
      host.target() + "/components/net/levels";
  for (int i = 0; i < 100 && Child({"/bin/sh", "-c", put}).finish().out != "200"; ++i)
    ::usleep(50000);
  EXPECT_EQ(netMask(), 0xF0000000u);
  auto traceBeside = start("+trace");
  const Outcome webEnds = web.finish(SIGTERM);
  EXPECT_TRUE(contains(webEnds.err, "restored net on " + host.target() + ": 0xE8000000"))
      << webEnds.err;
  EXPECT_EQ(netMask(), 0xE8000000u);
  traceBeside->finish(SIGTERM);
  EXPECT_EQ(netMask(), 0xE0000000u);
}

TEST(RemoteTools, DiscoverFollowsEveryTargetAndNewOnes) {
  std::optional<ExampleHost> first(std::in_place, "100", "first");
  ExampleHost second("100", "second");
  Child tail({TARVIN_REMOTE_BIN, "tail", "--discover", "127.0.0.1", "--rediscover", "200ms"});
  // Lines name their target: "[first] 12:00:00.000 #5 info ...".
  const auto seenFrom = [&](const std::string& name, std::size_t after = 0) {
    return tail.waitFor(
        [&](const Outcome& o) { return contains(o.out.substr(after), "[" + name + "] "); });
  };
  EXPECT_TRUE(seenFrom("first")) << tail.seen().err;
  EXPECT_TRUE(seenFrom("second")) << tail.seen().err;
  ExampleHost third("100", "third");
  EXPECT_TRUE(seenFrom("third")) << tail.seen().err;

  // A new instance on the first one's port is a restart: a new uuid,
  // registered again, its records under the same target.
  const std::string restarted = first->target();
  first.reset();
  first.emplace("100", "first-again");
  ASSERT_EQ(first->target(), restarted);
  EXPECT_TRUE(tail.waitFor([&](const Outcome& o) {
    return contains(o.err, restarted + " restarted");
  })) << tail.seen().err;
  EXPECT_TRUE(seenFrom("first-again", tail.seen().out.size())) << tail.seen().err;
  // A new instance numbers from 0: what it logged before we registered
  // again (most often something) is lost, and only that.
  const Outcome stopped = tail.finish(SIGTERM);
  const std::size_t line = stopped.out.find("[first-again] ");
  ASSERT_NE(line, std::string::npos) << stopped.out;
  const std::size_t number = stopped.out.find(" #", line);
  ASSERT_NE(number, std::string::npos) << stopped.out;
  const bool missed = std::stoul(stopped.out.substr(number + 2)) > 0;
  EXPECT_EQ(stopped.exitCode, missed ? 1 : 0) << stopped.err;
}
