// tests/tools/remote_tools_test.cpp
//
// tarvin-remote and tarvin-example-host as a user runs them: real binaries
// started as subprocesses, talking over loopback inside the test's own
// network namespace. A relay between tail and target drops chosen log
// records and injects malformed datagrams, so lost records and garbage are
// produced deterministically. Captures are replayed and read by tshark;
// several hosts are followed at once, one of them restarted.
//
// Threads: gtest's thread runs the cases and the subprocesses' pipes; the
// relay forwards on a thread of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/client_codec.h"
#include "common/unique_fd.h"
#include "protocol/byte_order.h"
#include "protocol/wire_format.h"
#include "tool_process.h"

namespace {

using namespace tooltest;

UniqueFd loopbackSocket(sockaddr_in& bound) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  bound = {};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof bound;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Stands between one client and a target. Drops the log records whose
// position in the stream (1, 2, ...) is listed, and after the first
// registration confirm sends the client each datagram of `garbage` from
// the address the client talks to, as a broken target would.
class Relay {
 public:
  Relay(int targetPort, std::vector<int> dropPositions, std::vector<codec::Bytes> garbage)
      : drop(std::move(dropPositions)), garbage(std::move(garbage)) {
    front = loopbackSocket(frontAddress);
    back = loopbackSocket(backAddress);
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(static_cast<std::uint16_t>(targetPort));
    worker = std::thread([this] { forward(); });
  }
  ~Relay() {
    stop = true;
    worker.join();
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(ntohs(frontAddress.sin_port)); }

 private:
  void forward() {
    sockaddr_in client{};
    int records = 0;
    bool garbageSent = false;
    while (!stop) {
      pollfd fds[2] = {{front.get(), POLLIN, 0}, {back.get(), POLLIN, 0}};
      if (::poll(fds, 2, 50) <= 0) continue;
      std::uint8_t buffer[wire::kMaxDatagramSize];
      if (fds[0].revents & POLLIN) {  // client to target
        socklen_t length = sizeof client;
        const ssize_t n = ::recvfrom(front.get(), buffer, sizeof buffer, 0,
                                     reinterpret_cast<sockaddr*>(&client), &length);
        if (n > 0) ::sendto(back.get(), buffer, static_cast<std::size_t>(n), 0,
                            reinterpret_cast<sockaddr*>(&target), sizeof target);
      }
      if (fds[1].revents & POLLIN) {  // target to client
        const ssize_t n = ::recv(back.get(), buffer, sizeof buffer, 0);
        if (n < 4) continue;
        const std::uint32_t descriptor = wire::loadBe32(buffer);
        if (descriptor == wire::kLogRecord &&
            std::find(drop.begin(), drop.end(), ++records) != drop.end()) {
          continue;
        }
        sendToClient(client, buffer, static_cast<std::size_t>(n));
        if (descriptor == wire::kRegistrationConfirm && !garbageSent) {
          for (const codec::Bytes& g : garbage) sendToClient(client, g.data(), g.size());
          garbageSent = true;
        }
      }
    }
  }
  void sendToClient(const sockaddr_in& client, const std::uint8_t* data, std::size_t size) {
    ::sendto(front.get(), data, size, 0, reinterpret_cast<const sockaddr*>(&client), sizeof client);
  }

  std::vector<int> drop;
  std::vector<codec::Bytes> garbage;
  UniqueFd front, back;
  sockaddr_in frontAddress{}, backAddress{}, target{};
  std::atomic<bool> stop{false};
  std::thread worker;
};

}  // namespace

TEST(RemoteTools, DiscoverFindsTheTarget) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  const Outcome text = remote({"discover"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(contains(text.out, host.target())) << text.out;
  EXPECT_TRUE(contains(text.out, "e2e-host")) << text.out;

  const Outcome json = remote({"discover", "127.0.0.1", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  ASSERT_EQ(lines(json.out).size(), 1u) << json.out;
  const auto line = nlohmann::json::parse(json.out);
  EXPECT_EQ(line["port"], host.port);
  EXPECT_EQ(line["application"], "e2e-host");
  EXPECT_EQ(line["uuid"].get<std::string>().size(), 32u);
}

TEST(RemoteTools, TailDecodesLevelsAndStopsAfterCount) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  // No port: the tool must find the target by asking the range.
  const Outcome tail = remote({"tail", "127.0.0.1", "--count", "6", "--json"});
  ASSERT_EQ(tail.exitCode, 0) << tail.err;
  EXPECT_TRUE(contains(tail.err, "using target " + host.target())) << tail.err;
  const auto records = lines(tail.out);
  ASSERT_EQ(records.size(), 6u) << tail.out;
  for (const std::string& text : records) {
    SCOPED_TRACE(text);
    const auto r = nlohmann::json::parse(text);
    // Only error, warning and info are enabled at start: client levels 31-29.
    const std::map<std::string, int> kEnabled = {{"error", 31}, {"warning", 30}, {"info", 29}};
    ASSERT_TRUE(kEnabled.contains(r["level"].get<std::string>()));
    EXPECT_EQ(r["client_level"], kEnabled.at(r["level"].get<std::string>()));
    EXPECT_EQ(r["client_mask"], 1u << r["client_level"].get<int>());
    EXPECT_EQ(r["pid"], host.pid);
    EXPECT_EQ(r["integers"][0], host.pid);
    EXPECT_TRUE(r["component"] == "net" || r["component"] == "db" || r["component"] == "ui");
    EXPECT_EQ(r["strings"][0], r["component"]);
  }
  // The text form shows the same decoded level names. Asked at 127.0.0.2,
  // the target answers from 127.0.0.1: the tool must still take it.
  const Outcome text = remote({"tail", "127.0.0.2:" + std::to_string(host.port), "--count", "3",
                               "--component", "db"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  ASSERT_EQ(lines(text.out).size(), 3u) << text.out;
  for (const std::string& line : lines(text.out)) {
    EXPECT_TRUE(contains(line, " db ")) << line;
    EXPECT_TRUE(contains(line, " error ") || contains(line, " info ")) << line;
  }
}

TEST(RemoteTools, ComponentsAndLevelsShowWhatTheHostHolds) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  const Outcome components = remote({"components", host.target()});
  ASSERT_EQ(components.exitCode, 0) << components.err;
  const auto rows = lines(components.out);
  ASSERT_EQ(rows.size(), 4u) << components.out;  // heading and three components
  EXPECT_EQ(rows[1], "net        0xE0000000   error, warning, info");
  EXPECT_EQ(rows[2].rfind("db ", 0), 0u);
  EXPECT_EQ(rows[3].rfind("ui ", 0), 0u);

  const Outcome levels = remote({"levels", host.target(), "net", "--json"});
  ASSERT_EQ(levels.exitCode, 0) << levels.err;
  const auto json = nlohmann::json::parse(levels.out);
  const nlohmann::json expected = nlohmann::json::parse(R"([
      {"client_level":31,"text":"error","enabled":true},
      {"client_level":30,"text":"warning","enabled":true},
      {"client_level":29,"text":"info","enabled":true},
      {"client_level":28,"text":"debug","enabled":false},
      {"client_level":27,"text":"trace","enabled":false}])");
  EXPECT_EQ(json["levels"], expected);
}

TEST(RemoteTools, SetLevelByNameChangesWhatTheHostLogs) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  const Outcome set = remote({"set-level", host.target(), "net", "+debug"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  EXPECT_EQ(set.out, "net: 0xF0000000 (error, warning, info, debug)\n");

  // The example host now sends net's debug messages; one in five of net's
  // lines is debug, so 20 records hold some.
  const Outcome tail = remote({"tail", host.target(), "--component", "net", "--count", "20"});
  ASSERT_EQ(tail.exitCode, 0) << tail.err;
  EXPECT_TRUE(contains(tail.out, " debug ")) << tail.out;

  const Outcome back = remote({"set-level", host.target(), "net", "-debug"});
  ASSERT_EQ(back.exitCode, 0) << back.err;
  EXPECT_EQ(back.out, "net: 0xE0000000 (error, warning, info)\n");

  const Outcome unknown = remote({"set-level", host.target(), "net", "loud"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_TRUE(contains(unknown.err, "tarvin-remote: error: no level 'loud'")) << unknown.err;

  // A temporary change is undone when its time is up.
  const Outcome temporary = remote({"set-level", host.target(), "db", "error,trace", "--for", "300ms"});
  ASSERT_EQ(temporary.exitCode, 0) << temporary.err;
  EXPECT_EQ(temporary.out,
            "db: 0x88000000 (error, trace)\nrestored db: 0xE0000000 (error, warning, info)\n");
}

// No host runs here: nothing answers on any port.
TEST(RemoteTools, FailuresGiveExitCodeAndMessage) {
  static const struct {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  } kCases[] = {
      {"dead port", {"levels", "127.0.0.1:57008", "net", "--timeout", "100ms", "--retries", "2"}, 1,
       "tarvin-remote: error: no answer from 127.0.0.1:57008"},
      {"no target on the host", {"tail", "127.0.0.1", "--timeout", "100ms", "--retries", "1"}, 1,
       "tarvin-remote: error: no target answered on 127.0.0.1 ports 57008-57017"},
      {"nothing discovered", {"discover", "--wait", "200ms"}, 1,
       "tarvin-remote: error: no target answered on 127.0.0.1"},
      {"bad port", {"tail", "127.0.0.1:99999"}, 2, "tarvin-remote: error: invalid port '99999'"},
      {"missing argument", {"levels", "127.0.0.1"}, 2, "tarvin-remote: error:"},
      {"no subcommand", {}, 2, "tarvin-remote: error:"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = remote(c.args);
    EXPECT_EQ(outcome.exitCode, c.exitCode);
    EXPECT_TRUE(contains(outcome.err, c.message)) << outcome.err;
  }
  const Outcome help = remote({"set-level", "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(contains(help.out, "LEVELS")) << help.out;
}

TEST(RemoteTools, TailReportsLostRecordsAndSkipsMalformedDatagrams) {
  ExampleHost host("100");
  ASSERT_NE(host.port, 0);
  const codec::Bytes record = [] {
    codec::Bytes r(wire::log_record::kMinSize, 0);  // an all-empty record...
    wire::storeBe32(r.data(), wire::kLogRecord);
    return r;
  }();
  const std::vector<codec::Bytes> garbage = {
      codec::Bytes(record.begin(), record.begin() + 30),  // ...cut short
      codec::Bytes(record.begin(), record.begin() + 31),  // same kind: reported once
      {0, 0, 0, 0x22, 1, 2, 3},                           // component info without header
      {0, 0, 0},                                          // no descriptor
      {0xFF, 0xFF, 0xFF, 0xFF},                           // unknown descriptor
  };
  Relay relay(host.port, /*dropPositions=*/{3, 4, 5}, garbage);
  const Outcome tail = remote({"tail", relay.address(), "--count", "8"});
  ASSERT_EQ(tail.exitCode, 0) << tail.err;
  EXPECT_EQ(lines(tail.out).size(), 8u) << tail.out;
  EXPECT_TRUE(contains(tail.err, "lost 3 records")) << tail.err;

  // One warning per kind and source, whatever the number of bad datagrams.
  const auto warnings = lines(tail.err);
  const auto count = [&](const std::string& part) {
    return std::count_if(warnings.begin(), warnings.end(),
                         [&](const std::string& w) { return contains(w, part); });
  };
  EXPECT_EQ(count("malformed"), 4) << tail.err;
  EXPECT_EQ(count("log record: integer 2 cut short at offset 28"), 1) << tail.err;
  EXPECT_EQ(count("component info: too short"), 1) << tail.err;
  EXPECT_EQ(count("too short for a descriptor"), 1) << tail.err;
  EXPECT_EQ(count("datagram 0xffffffff: not sent by targets"), 1) << tail.err;
}

TEST(RemoteTools, CaptureReplaysAsTheLiveTailPrintedIt) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  const std::string pcap = ::testing::TempDir() + "tail_capture.pcap";
  const Outcome live = remote({"tail", host.target(), "--count", "15", "--json", "--pcap", pcap});
  ASSERT_EQ(live.exitCode, 0) << live.err;
  ASSERT_EQ(lines(live.out).size(), 15u);

  // Same records, same receive times, same level names (from the level
  // descriptions the live tail asked for, which the capture holds).
  const Outcome replay = remote({"replay", pcap, "--json", "--count", "15"});
  ASSERT_EQ(replay.exitCode, 0) << replay.err;
  EXPECT_EQ(replay.out, live.out);

  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
  const Outcome dissected = run({"/bin/sh", "-c", "tshark -n -r " + pcap + " -X lua_script:" +
                                                      TARVIN_DISSECTOR + " 2>/dev/null"});
  ASSERT_EQ(dissected.exitCode, 0);
  const auto frames = lines(dissected.out);
  EXPECT_GE(std::count_if(frames.begin(), frames.end(),
                          [](const std::string& f) { return contains(f, "Log record"); }),
            15)
      << dissected.out;
}

TEST(RemoteTools, DiscoverFollowsEveryTargetAndNewOnes) {
  std::optional<ExampleHost> first(std::in_place, "100", "first");
  ExampleHost second("100", "second");
  ASSERT_NE(first->port, 0);
  Child tail({TARVIN_REMOTE_BIN, "tail", "--discover", "127.0.0.1", "--rediscover", "200ms"});
  // Lines name their target: "127.0.0.1:57008 12:00:00.000 #5 info ...".
  const auto linesFrom = [](const std::string& out, const std::string& target) {
    const auto all = lines(out);
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string& l) { return l.rfind(target + " ", 0) == 0; });
  };
  const auto seenFrom = [&](const std::string& target, std::size_t after = 0) {
    return [&, target, after](const Outcome& o) { return linesFrom(o.out.substr(after), target) >= 3; };
  };
  EXPECT_TRUE(tail.waitFor(seenFrom(first->target()))) << tail.seen().err;
  EXPECT_TRUE(tail.waitFor(seenFrom(second.target()))) << tail.seen().err;

  ExampleHost third("100", "third");
  EXPECT_TRUE(tail.waitFor(seenFrom(third.target()))) << tail.seen().err;

  // A new instance on the first one's port is a restart: a new uuid,
  // registered again, its records under the same target.
  const std::string restarted = first->target();
  first.reset();
  first.emplace("100", "first-again");
  ASSERT_EQ(first->target(), restarted);
  EXPECT_TRUE(tail.waitFor([&](const Outcome& o) { return contains(o.err, restarted + " restarted"); }))
      << tail.seen().err;
  EXPECT_TRUE(tail.waitFor(seenFrom(restarted, tail.seen().out.size()))) << tail.seen().err;

  const Outcome outcome = tail.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  for (const std::string& line : lines(outcome.out)) {
    EXPECT_EQ(line.rfind("127.0.0.1:570", 0), 0u) << line;
  }
}
