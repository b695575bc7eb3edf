// tests/tools/forward_test.cpp
//
// tarvin-remote forward against a real rsyslogd that the test starts with
// a configuration of its own (UDP and TCP inputs on loopback, the fields of
// every message written to a file in a temporary folder), kills mid-stream
// and starts again; before it, a port where no collector listens. Skipped
// where rsyslogd is not installed.
//
// Threads: gtest's thread runs everything; rsyslogd, the example host and
// the forwarder are subprocesses.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "common/unique_fd.h"
#include "tool_process.h"

namespace {

using namespace tooltest;
namespace fs = std::filesystem;

const fs::path kRsyslogd = "/usr/sbin/rsyslogd";

// A loopback port nobody uses: bound and released, so the collector can
// take it (our network namespace has no one else to race with).
int freePort(int type) {
  UniqueFd fd(::socket(AF_INET, type, 0));
  const sockaddr_in address = loopbackAddress(0);
  ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return localPort(fd.get());
}

// One forwarded record as rsyslog parsed it.
struct Collected {
  std::string pri, appName, msgId, structuredData;
  // A PARAM-VALUE of our element; the ones read here hold no escapes.
  std::string param(const std::string& name) const {
    const std::size_t at = structuredData.find(" " + name + "=\"");
    if (at == std::string::npos) return "";
    const std::size_t from = at + name.size() + 3;
    return structuredData.substr(from, structuredData.find('"', from) - from);
  }
};

class Rsyslog {
 public:
  Rsyslog() : dir(fs::path(::testing::TempDir()) / ("rsyslog-" + std::to_string(::getpid()))) {
    fs::remove_all(dir);
    fs::create_directories(dir / "work");
    std::ofstream(dir / "rsyslog.conf")
        << "global(workDirectory=\"" << (dir / "work").string() << "\" net.enableDNS=\"off\")\n"
        << "module(load=\"imudp\")\nmodule(load=\"imtcp\")\n"
        << "template(name=\"fields\" type=\"string\" string=\"%pri% %app-name% %msgid% "
           "%structured-data%\\n\")\n"
        << "ruleset(name=\"collect\") { action(type=\"omfile\" file=\""
        << (dir / "messages.log").string() << "\" template=\"fields\") }\n"
        << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << udpPort
        << "\" ruleset=\"collect\")\n"
        << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << tcpPort
        << "\" ruleset=\"collect\")\n";
    start();
  }
  ~Rsyslog() {
    process.reset();  // SIGKILL if a case left it running
    fs::remove_all(dir);
  }

  // Starts rsyslogd and waits until a probe sent over UDP reaches the file
  // (TCP is up by then: both inputs start together).
  void start() {
    process = std::make_unique<Child>(
        std::vector<std::string>{kRsyslogd, "-n", "-f", (dir / "rsyslog.conf").string(), "-i",
                                 (dir / "rsyslogd.pid").string()});
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in to = loopbackAddress(static_cast<std::uint16_t>(udpPort));
    const std::string ready =
        "ready-" + std::to_string(++starts);  // the MSGID, which the file keeps
    const std::string message = "<14>1 - - - - " + ready + " -";
    for (int i = 0; i < 100 && !contains(fileText(), ready); ++i) {
      ::sendto(probe.get(), message.data(), message.size(), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to);
      process->waitFor([](const Outcome&) { return false; }, 100ms);  // lets it run
    }
    ASSERT_TRUE(contains(fileText(), ready)) << process->seen().err;
  }
  void stop(int signal) { process->finish(signal); }
  void pause() { ::kill(process->pid(), SIGSTOP); }

  std::string fileText() const {
    std::ifstream in(dir / "messages.log");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // The messages forwarded from records (probes and gap notices left out).
  std::vector<Collected> records() const {
    std::vector<Collected> found;
    std::istringstream in(fileText());
    for (Collected c; in >> c.pri >> c.appName >> c.msgId && std::getline(in, c.structuredData);) {
      if (contains(c.structuredData, " seq=")) found.push_back(c);
    }
    return found;
  }

  const int udpPort = freePort(SOCK_DGRAM);
  const int tcpPort = freePort(SOCK_STREAM);

 private:
  fs::path dir;
  std::unique_ptr<Child> process;
  int starts = 0;
};

long forwardedRecords(const std::string& err) {
  const std::size_t at = err.find("made ");
  return at == std::string::npos ? -1 : std::stol(err.substr(at + 5));
}

// rsyslog can only give back the fields when each message arrived whole:
// one datagram each over UDP, octet-counted frames over TCP. Over TCP the
// collector is also killed mid-stream: stopped, it leaves what we write in
// its socket; killed, it loses all of it. A pause of well under a window's
// worth of records at this rate (about 120/s) puts records in flight that
// only a resend saves.
TEST(ForwardToRsyslog, EveryRecordArrivesWithItsFieldsAcrossARestart) {
  if (!fs::exists(kRsyslogd)) GTEST_SKIP() << "rsyslogd not installed";
  Rsyslog collector;
  ExampleHost host;
  // No collector listens: the overflow is dropped and counted, the rest
  // reported as not delivered.
  const Outcome away = remote({"forward", host.target(), "--duration", "1s", "--queue", "5", "--to",
                               "tcp://127.0.0.1:" + std::to_string(freePort(SOCK_STREAM))},
                              /*expectedExit=*/1);
  const long queued = forwardedRecords(away.err);
  EXPECT_TRUE(contains(away.err,
                       "dropped " + std::to_string(queued - 5) + " (queue full); 5 not delivered"))
      << away.err;

  const Outcome udp = remote({"forward", host.target(), "--duration", "1500ms", "--to",
                              "udp://127.0.0.1:" + std::to_string(collector.udpPort)});
  // What forward sent last may still be on its way into rsyslogd's file.
  auto viaUdp = collector.records();
  for (const auto giveUp = std::chrono::steady_clock::now() + 5s;
       static_cast<long>(viaUdp.size()) < forwardedRecords(udp.err) &&
       std::chrono::steady_clock::now() < giveUp;
       viaUdp = collector.records()) {
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GT(viaUdp.size(), 20u);
  EXPECT_EQ(static_cast<long>(viaUdp.size()), forwardedRecords(udp.err)) << udp.err;

  Child tcp({TARVIN_REMOTE_BIN, "forward", host.target(), "--to",
             "tcp://127.0.0.1:" + std::to_string(collector.tcpPort)});
  const auto recordsAtLeast = [&](std::size_t n) {
    return tcp.waitFor([&](const Outcome&) { return collector.records().size() >= n; });
  };
  ASSERT_TRUE(recordsAtLeast(viaUdp.size() + 20));
  collector.pause();
  std::this_thread::sleep_for(400ms);
  collector.stop(SIGKILL);
  ASSERT_TRUE(tcp.waitFor([](const Outcome& o) { return contains(o.err, "lost connection"); }));
  collector.start();
  ASSERT_TRUE(tcp.waitFor([](const Outcome& o) { return contains(o.err, "reconnected"); }));
  ASSERT_TRUE(recordsAtLeast(collector.records().size() + 20));
  const Outcome outcome = tcp.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;

  // What forward sent last may still be on its way into rsyslogd's file.
  const long forwarded = forwardedRecords(outcome.err);
  std::vector<Collected> all;
  std::set<unsigned long> viaTcp;  // resent ones may come twice
  for (const auto giveUp = std::chrono::steady_clock::now() + 5s;;) {
    all = collector.records();
    viaTcp.clear();
    for (auto c = all.begin() + static_cast<std::ptrdiff_t>(viaUdp.size()); c != all.end(); ++c) {
      viaTcp.insert(std::stoul(c->param("seq")));
    }
    if (static_cast<long>(viaTcp.size()) >= forwarded || std::chrono::steady_clock::now() > giveUp)
      break;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(viaTcp.size(), *viaTcp.rbegin() - *viaTcp.begin() + 1) << "sequence numbers missing";
  EXPECT_EQ(static_cast<long>(viaTcp.size()), forwarded) << outcome.err;
  // Severity from the client level, facility user (1): PRI 8 + severity.
  const std::map<std::string, std::string> kPri = {{"31", "11"}, {"30", "12"}, {"29", "14"}};
  for (const Collected& c : all) {
    SCOPED_TRACE(c.structuredData);
    EXPECT_EQ(c.pri, kPri.at(c.param("level")));
    EXPECT_EQ(c.appName, "e2e-host");
    EXPECT_TRUE(c.msgId == "net" || c.msgId == "db" || c.msgId == "ui");
  }
}

}  // namespace
