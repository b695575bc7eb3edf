// tests/tools/follow_test.cpp
//
// tarvin-remote's followers under load, as a user runs them, against a
// ScriptedTarget that sends exactly what a case needs: a lone record and a
// burst many batches long, records still in the socket when the follow
// ends, losses on the way beside losses in our own receive buffer,
// datagrams that are not records, a stop signal in the middle of a flood
// or while the reader stopped reading, a wait for level names that never
// come, and a collector that is away for part of a forward (what a TCP
// collector confirms at the end is tcp_syslog_sink_test's and
// forward_test's). Against example hosts: a restart on the same port, and
// a host at full rate beside a quiet one and beside a target that dies.
//
// Threads: gtest's thread runs the cases and reads the tools' pipes; the
// stand-in target answers on a thread of its own, and one case fills a
// socket from a thread of its own.
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "common/datagram_wait.h"
#include "scripted_target.h"
#include "tool_process.h"

namespace {

using namespace tooltest;

// The follower's last line: "received N records; L lost (sequence gaps);
// D datagrams dropped by the kernel (...)".
struct Summary {
  long received = -1, lost = -1, dropped = -1;
};
Summary summaryOf(const std::string& err) {
  Summary s;
  const std::size_t at = err.rfind("received ");
  if (at != std::string::npos) {
    std::sscanf(err.c_str() + at, "received %ld records; %ld lost (sequence gaps); %ld datagrams",
                &s.received, &s.lost, &s.dropped);
  }
  return s;
}

std::size_t lineCount(const Outcome& o) { return lines(o.out).size(); }

// Starts `args` and waits until the target has its registration.
bool following(Child& tool, const ScriptedTarget& target) {
  return tool.waitFor([&](const Outcome&) { return target.registered(); });
}

}  // namespace

// A lone record must not wait in an output buffer for more to come; a
// burst of eight batches must lose nothing to the batching, nor a burst
// still in the socket when the follow ends. Records a target sends before
// its confirm names the application wait for the name, and come first.
TEST(Follow, ALoneRecordShowsAtOnceAndBurstsArriveWholeInOrder) {
  ScriptedTarget target;
  constexpr int kEarly = 3;
  target.sendBeforeConfirm(kEarly);
  Child tail({TARVIN_REMOTE_BIN, "tail", target.target(), "--json"});
  ASSERT_TRUE(following(tail, target)) << tail.seen().err;
  target.send(1);
  // Not a speed test: without a flush per batch the line would wait for
  // 64 KiB more output or the end of the tail.
  EXPECT_TRUE(tail.waitFor([](const Outcome& o) { return lineCount(o) == kEarly + 1; }, 1s))
      << tail.seen().err;

  target.send(8 * 64 + 5);
  EXPECT_TRUE(tail.waitFor([](const Outcome& o) { return lineCount(o) == kEarly + 8 * 64 + 6; }))
      << tail.seen().err;
  // Records still in the socket when the follow ends came while it was
  // registered: they are shown, not thrown away with the socket.
  ::kill(tail.pid(), SIGSTOP);
  target.send(300);
  ::kill(tail.pid(), SIGTERM);  // waits for the SIGCONT, then ends the follow at once
  const Outcome outcome = tail.finish(SIGCONT);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::uint32_t expected = 0;
  for (const std::string& line : lines(outcome.out)) {
    const auto record = nlohmann::json::parse(line);
    ASSERT_EQ(record["sequence"], expected++) << line;
    ASSERT_EQ(record["application"], "test") << line;
  }
  const int all = kEarly + 8 * 64 + 6 + 300;
  EXPECT_EQ(expected, static_cast<std::uint32_t>(all)) << outcome.err;
  const Summary summary = summaryOf(outcome.err);
  EXPECT_EQ(summary.received, all) << outcome.err;
  EXPECT_EQ(summary.lost, 0) << outcome.err;
  EXPECT_EQ(summary.dropped, 0) << outcome.err;
}

// Records skipped by the target are lost on the way; records that do not
// fit the smallest receive buffer while the tool is stopped are dropped
// by our kernel. Both are gaps, only the second are drops.
TEST(Follow, GapsAndKernelDropsAreCountedApart) {
  ScriptedTarget target;
  Child tail({TARVIN_REMOTE_BIN, "tail", target.target(), "--rcvbuf", "1"});
  ASSERT_TRUE(following(tail, target)) << tail.seen().err;
  target.send(1);  // two datagrams are all the buffer holds
  ASSERT_TRUE(tail.waitFor([](const Outcome& o) { return lineCount(o) == 1; })) << tail.seen().err;

  ::kill(tail.pid(), SIGSTOP);
  target.send(500);
  ::kill(tail.pid(), SIGCONT);
  // The few that fit the buffer come out of one receive: once one shows,
  // the buffer is empty and the next record surely fits.
  ASSERT_TRUE(tail.waitFor([](const Outcome& o) { return lineCount(o) > 1; })) << tail.seen().err;
  target.send(1, /*skip=*/10);
  ASSERT_TRUE(tail.waitFor([](const Outcome& o) { return contains(o.out, "record 511"); }))
      << tail.seen().err;

  const Outcome outcome = tail.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
  const Summary summary = summaryOf(outcome.err);
  EXPECT_EQ(summary.received, static_cast<long>(lineCount(outcome))) << outcome.err;
  EXPECT_GT(summary.dropped, 400) << outcome.err;
  EXPECT_EQ(summary.lost, summary.dropped + 10) << outcome.err;
  EXPECT_EQ(summary.received + summary.lost, 1 + 500 + 10 + 1) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "the kernel dropped")) << outcome.err;
}

// A target that restarts while records of its old instance are still
// missing: the gap names the instance that lost them, in tail --json as in
// the store, and the new instance's records name the new one.
TEST(Follow, AGapOpenAtARestartNamesTheOldInstance) {
  ScriptedTarget target;
  Child tail({TARVIN_REMOTE_BIN, "tail", target.target(), "--json"});
  ASSERT_TRUE(following(tail, target)) << tail.seen().err;
  target.send(5);
  target.send(1, /*skip=*/3);  // 5 to 7 missing, inside the reorder window
  target.restart(1);
  target.send(2);
  ASSERT_TRUE(tail.waitFor([](const Outcome& o) { return lineCount(o) == 9; })) << tail.seen().err;
  const Outcome outcome = tail.finish(SIGTERM);
  const std::string oldInstance(32, '0'), newInstance = "01" + std::string(30, '0');
  std::vector<std::string> shown;
  for (const std::string& line : lines(outcome.out)) {
    const auto entry = nlohmann::json::parse(line);
    const bool gap = entry["type"] == "gap";
    shown.push_back((gap ? "gap " + std::to_string(entry["first"].get<int>()) + "+" +
                               std::to_string(entry["lost"].get<int>())
                         : "#" + std::to_string(entry["sequence"].get<int>())) +
                    (entry["uuid"] == oldInstance   ? " old"
                     : entry["uuid"] == newInstance ? " new"
                                                    : " " + entry["uuid"].get<std::string>()));
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"#0 old", "#1 old", "#2 old", "#3 old", "#4 old",
                                             "#8 old", "gap 5+3 old", "#0 new", "#1 new"}))
      << outcome.err;
}

// A datagram that is not a whole record is skipped with one warning per
// kind and source, however many come; numbers left out are a loss.
TEST(Follow, MalformedDatagramsAreSkippedAndReportedOncePerKind) {
  ScriptedTarget target;
  Child tail({TARVIN_REMOTE_BIN, "tail", target.target()});
  ASSERT_TRUE(following(tail, target)) << tail.seen().err;
  codec::Bytes record(wire::log_record::kMinSize, 0);  // an all-empty record...
  wire::storeBe32(record.data(), wire::kLogRecord);
  for (const codec::Bytes& garbage : {
           codec::Bytes(record.begin(), record.begin() + 30),  // ...cut short
           codec::Bytes(record.begin(), record.begin() + 36),  // same kind and source: not said
           codec::Bytes{0, 0, 0},                              // no descriptor
           codec::Bytes{0xFF, 0xFF, 0xFF, 0xFF},               // unknown descriptor
       }) {
    target.sendRaw(garbage);
  }
  target.send(2);
  target.send(1, /*skip=*/3);
  ASSERT_TRUE(tail.waitFor([](const Outcome& o) {
    return lineCount(o) == 3 && contains(o.err, "lost 3 records");
  })) << tail.seen().err;

  const Outcome outcome = tail.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "log record: integer 2 cut short at offset 28")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "datagram 0xffffffff: not sent by targets")) << outcome.err;
  EXPECT_FALSE(contains(outcome.err, "integer 4 cut short")) << outcome.err;
}

// A signal ends a follower that never runs out of datagrams to read.
TEST(Follow, StopSignalEndsEveryFollowerInAFlood) {
  UniqueFd collector(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));  // never read
  const sockaddr_in any = loopbackAddress(0);
  ::bind(collector.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
  const std::string collectorUrl = "udp://127.0.0.1:" + std::to_string(localPort(collector.get()));
  static const struct {
    const char* name;
    std::vector<std::string> args;
  } kCases[] = {
      {"tail", {"tail"}},
      {"tail --json", {"tail", "--json"}},
      {"forward", {"forward", "--to", collectorUrl}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScriptedTarget target;
    std::vector<std::string> args = {TARVIN_REMOTE_BIN};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.begin() + 2, target.target());
    Child tool(args);
    ASSERT_TRUE(following(tool, target)) << tool.seen().err;
    target.flood();
    tool.waitFor([](const Outcome&) { return false; }, 300ms);  // flooded for a while
    const Outcome outcome = tool.finish(SIGINT, /*limit=*/5s);
    target.stopFlood();
    EXPECT_NE(outcome.exitCode, -1) << "still running 5 s after SIGINT";
    EXPECT_GT(summaryOf(outcome.err).received, 0) << outcome.err;
  }
}

// Records wait for their component's level names, but the socket is read
// all the while: the backlog of a wait that ends without an answer goes
// out to a slow reader in portions, and what comes meanwhile still finds
// room in a small receive buffer.
TEST(Follow, WaitingForLevelNamesNeverStopsTheReading) {
  ScriptedTarget target;
  target.answerLevels(false);
  Child tail({TARVIN_REMOTE_BIN, "tail", target.target(), "--rcvbuf", "256K"});
  ASSERT_TRUE(following(tail, target)) << tail.seen().err;
  // Each tick 40 records come and the reader takes at most 16 KiB (about
  // 230 lines): it keeps up, but a backlog of thousands takes it a while.
  for (int tick = 0; tick < 400; ++tick) {
    target.send(40);
    const std::size_t want = tail.seen().out.size() + 16384;
    tail.waitFor([&](const Outcome& o) { return o.out.size() >= want; }, 10ms);
  }
  const Outcome outcome = tail.finish(SIGTERM);
  EXPECT_TRUE(contains(outcome.err, "no level descriptions for component 'net'")) << outcome.err;
  const Summary summary = summaryOf(outcome.err);
  EXPECT_EQ(summary.dropped, 0) << outcome.err;
  EXPECT_EQ(summary.received, 400 * 40) << outcome.err;
  EXPECT_EQ(static_cast<long>(lineCount(outcome)), summary.received) << outcome.err;
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
}

// A target restarted on its port is followed again at once, whether its
// port answered "unreachable" for a while or the new instance was there
// before anyone asked: its records come from near its start, and those it
// logged before are named as missed across the restart, not as lost.
TEST(Follow, ARestartedTargetIsFollowedAgainAtOnce) {
  for (const auto pause : {0ms, 1500ms}) {
    SCOPED_TRACE("pause " + std::to_string(pause.count()) + " ms");
    std::optional<ExampleHost> host(std::in_place, "100", "before");
    const std::string target = host->target();
    Child tail({TARVIN_REMOTE_BIN, "tail", target, "--json"});
    ASSERT_TRUE(tail.waitFor([](const Outcome& o) { return lineCount(o) > 0; })) << tail.seen().err;
    const std::string before = nlohmann::json::parse(lines(tail.seen().out).at(0))["uuid"];
    host.reset();
    std::this_thread::sleep_for(pause);
    host.emplace("100", "after");  // the first free port: the same one
    ASSERT_EQ(host->target(), target);

    long first = -1;  // the first sequence number of the new instance we got
    std::size_t scanned = 0;
    EXPECT_TRUE(tail.waitFor([&](const Outcome& o) {
      for (std::size_t end; first < 0 && (end = o.out.find('\n', scanned)) != std::string::npos;
           scanned = end + 1) {
        const auto record = nlohmann::json::parse(o.out.substr(scanned, end - scanned));
        if (record["type"] == "record" && record["uuid"] != before) first = record["sequence"];
      }
      return first >= 0;
    })) << tail.seen().err;
    // Not a speed test: waiting for the next renewal (10 s) misses hundreds.
    EXPECT_LT(first, 200) << tail.seen().err;
    const Outcome outcome = tail.finish(SIGTERM);
    EXPECT_TRUE(contains(outcome.err, target + " restarted (uuid")) << outcome.err;
    if (first > 0) {
      EXPECT_TRUE(contains(outcome.err, target + ": its new instance logged " +
                                            std::to_string(first) + " records (sequence 0 to "))
          << outcome.err;
    }
    EXPECT_FALSE(contains(outcome.err, "records (sequence 0 to") &&
                 contains(outcome.err, ": lost " + std::to_string(first) + " records"))
        << outcome.err;
    EXPECT_EQ(outcome.exitCode, first > 0 ? 1 : 0) << outcome.err;
  }
}

// A reader that stopped reading must not keep a signal from ending tail:
// what the output did not take is counted, exactly, and costs the clean exit.
TEST(Follow, StopSignalEndsTailWhoseReaderStopped) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(::strsignal(signal));
    ScriptedTarget target;
    Child tail({TARVIN_REMOTE_BIN, "tail", target.target()});
    ASSERT_TRUE(following(tail, target)) << tail.seen().err;
    tail.holdOutput();
    target.send(5000);                                          // several times what the pipe holds
    tail.waitFor([](const Outcome&) { return false; }, 300ms);  // blocked in write() by now
    Outcome outcome = tail.finish(signal, /*limit=*/10s);
    ASSERT_NE(outcome.exitCode, -1) << "still running 10 s after the signal";
    tail.holdOutput(false);
    tail.waitFor([](const Outcome&) { return false; });  // reads what the pipe still held
    outcome.out = tail.seen().out;
    EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
    const std::size_t at = outcome.err.find("not written");
    ASSERT_NE(at, std::string::npos) << outcome.err;
    long unwritten = -1;
    std::sscanf(outcome.err.c_str() + outcome.err.rfind(": ", at) + 2, "%ld records", &unwritten);
    const long written = std::count(outcome.out.begin(), outcome.out.end(), '\n');  // whole lines
    EXPECT_EQ(written + unwritten, summaryOf(outcome.err).received) << outcome.err;
  }
}

// Messages sent while nobody listened are counted and cost forward its
// clean exit, even though the collector took the rest.
TEST(Follow, ForwardExitsOneWhenTheCollectorWasAwayForAWhile) {
  ScriptedTarget target;
  std::uint16_t port = 0;
  {
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in any = loopbackAddress(0);
    ::bind(probe.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    port = localPort(probe.get());
  }  // released: nothing listens there now
  Child forward({TARVIN_REMOTE_BIN, "forward", target.target(), "--to",
                 "udp://127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(following(forward, target)) << forward.seen().err;
  for (int i = 0; i < 20 && !contains(forward.seen().err, "refused"); ++i) {
    target.send(1);
    forward.waitFor([](const Outcome&) { return false; }, 20ms);
  }
  ASSERT_TRUE(contains(forward.seen().err, "refused")) << forward.seen().err;

  UniqueFd collector(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in at = loopbackAddress(port);
  ASSERT_EQ(::bind(collector.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  target.send(5);
  char message[wire::kMaxDatagramSize];
  EXPECT_TRUE(receiveWithin(collector.get(), message, sizeof message, 5s).has_value());

  const Outcome outcome = forward.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 1) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "refused by the collector")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, " into messages")) << outcome.err;
}

// A target at full rate beside a quiet one, both found by discovery (which
// drops a target that stops answering) and renewed every second, read by
// a slow reader: the quiet one keeps every record and is never given up,
// and the busy one, whose confirms drown in its own flood, is kept while
// its records come (shown exactly with a target that confirms no renewal).
TEST(Follow, AFloodingTargetCostsAQuietNeighbourNothing) {
  ExampleHost flood("max", "flood");
  ExampleHost quiet("20", "quiet");
  Child tail(
      {TARVIN_REMOTE_BIN, "tail", "--discover", "127.0.0.1", "--renew", "1s", "--rcvbuf", "64K"});
  std::size_t scanned = 0;
  std::vector<long> numbers;  // of the quiet one's records, in the order shown
  const auto readQuiet = [&](const Outcome& o) {
    for (std::size_t at; (at = o.out.find("[quiet] ", scanned)) != std::string::npos;) {
      const std::size_t number = o.out.find(" #", at);
      if (number == std::string::npos || o.out.find('\n', number) == std::string::npos) break;
      numbers.push_back(std::stol(o.out.substr(number + 2)));
      scanned = number;
    }
    return numbers.size() >= 80;
  };
  // A reader that takes about 80 KB/s: the busy one's buffer stays full.
  const auto end = Clock::now() + 30s;
  while (!readQuiet(tail.seen()) && Clock::now() < end) {
    const std::size_t want = tail.seen().out.size() + 4096;
    tail.waitFor([&](const Outcome& o) { return o.out.size() >= want; }, 100ms);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(readQuiet(tail.seen())) << tail.seen().err;
  const Outcome outcome = tail.finish(SIGTERM);
  for (std::size_t i = 1; i < numbers.size(); ++i) {
    ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << outcome.err;
  }
  for (const std::string& said :
       {quiet.target() + ": lost", quiet.target() + " stopped answering",
        quiet.target() + " did not confirm", flood.target() + " stopped answering"}) {
    EXPECT_FALSE(contains(outcome.err, said)) << outcome.err;
  }

  // However many confirms drown, a target whose records come is answering.
  ScriptedTarget drowning;
  drowning.confirmRenewals(false);
  Child follower({TARVIN_REMOTE_BIN, "tail", drowning.target(), "--renew", "1s"});
  ASSERT_TRUE(following(follower, drowning)) << follower.seen().err;
  for (int i = 0; i < 40; ++i) {  // 4 s: several renewals with every retry
    drowning.send(10);
    follower.waitFor([](const Outcome&) { return false; }, 100ms);
  }
  const Outcome renewed = follower.finish(SIGTERM);
  EXPECT_FALSE(contains(renewed.err, "did not confirm")) << renewed.err;
  EXPECT_EQ(renewed.exitCode, 0) << renewed.err;
}

// A target that dies while its socket's buffer is full (here of datagrams
// from elsewhere): the "port unreachable" for its renewal finds no room and
// stays pending as the socket's error. The follower must go on reading
// what is queued behind it, and the other targets' records, for as long
// as it runs.
TEST(Follow, ARefusalThatFindsTheBufferFullDoesNotStopTheReading) {
  ExampleHost flood("max", "flood");
  ExampleHost quiet("20", "quiet");
  std::optional<ScriptedTarget> dying(std::in_place);
  Child tail({TARVIN_REMOTE_BIN, "tail", flood.target(), quiet.target(), dying->target(), "--renew",
              "1s", "--rcvbuf", "64K"});
  ASSERT_TRUE(tail.waitFor([&](const Outcome& o) {
    return dying->registered() && contains(o.err, "following " + quiet.target());
  })) << tail.seen().err;
  const sockaddr_in ours = dying->clientList().at(0);  // the socket that follows it
  dying.reset();  // its port now answers "unreachable", to every renewal
  std::jthread filler([&](std::stop_token stop) {
    UniqueFd from(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const std::uint8_t junk[64] = {};
    while (!stop.stop_requested()) {
      ::sendto(from.get(), junk, sizeof junk, 0, reinterpret_cast<const sockaddr*>(&ours),
               sizeof ours);
    }
  });

  std::size_t scanned = 0, quietLines = 0;  // the output grows fast: each part is read once
  const auto countQuiet = [&](const Outcome& o) {
    for (std::size_t at = o.out.find("[quiet] ", scanned); at != std::string::npos;
         at = o.out.find("[quiet] ", at + 1)) {
      ++quietLines;
    }
    scanned = o.out.size() < 8 ? 0 : o.out.size() - 7;
    return quietLines;
  };
  tail.waitFor(
      [&](const Outcome& o) {
        countQuiet(o);
        return false;
      },
      3s);  // a few renewals go to the closed port
  const std::size_t before = countQuiet(tail.seen());
  EXPECT_TRUE(tail.waitFor([&](const Outcome& o) { return countQuiet(o) >= before + 20; }, 20s))
      << "no longer reading: " << quietLines - before << " more lines of quiet\n"
      << tail.seen().err;
  const Outcome outcome = tail.finish(SIGTERM, /*limit=*/10s);
  EXPECT_NE(outcome.exitCode, -1) << "still running 10 s after SIGTERM";
}
