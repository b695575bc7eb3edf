// tests/tools/forward_test.cpp
//
// tarvin-remote forward against a real rsyslogd that the test starts with
// a configuration of its own (UDP and TCP inputs on loopback, every
// message's fields written to a file in a temporary folder) and stops at
// the end. Skipped where rsyslogd is not installed. The last case needs no
// collector: one that never answers.
//
// Threads: gtest's thread runs everything; rsyslogd, the example host and
// the forwarder are subprocesses.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "common/unique_fd.h"
#include "tool_process.h"

namespace {

using namespace tooltest;
namespace fs = std::filesystem;

// A loopback port nobody uses: bound and released, so the collector can
// take it (our network namespace has no one else to race with).
int freePort(int type) {
  UniqueFd fd(::socket(AF_INET, type, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// One message as rsyslog parsed it: the fields the template writes.
struct Collected {
  int pri = -1;
  std::string hostname, appName, procId, msgId, structuredData, msg;
  std::map<std::string, std::string> params;  // of our structured data element
};

class Rsyslog {
 public:
  static fs::path binary() {
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/local/sbin"}) {
      if (fs::exists(fs::path(dir) / "rsyslogd")) return fs::path(dir) / "rsyslogd";
    }
    return {};
  }

  Rsyslog() : dir(fs::path(::testing::TempDir()) / ("rsyslog-" + std::to_string(::getpid()))) {
    fs::remove_all(dir);
    fs::create_directories(dir / "work");
    std::ofstream(dir / "rsyslog.conf")
        << "global(workDirectory=\"" << (dir / "work").string() << "\" net.enableDNS=\"off\")\n"
        << "module(load=\"imudp\")\nmodule(load=\"imtcp\")\n"
        << "template(name=\"fields\" type=\"string\" string=\"%pri%|%hostname%|%app-name%|%procid%|"
           "%msgid%|%structured-data%|%msg%\\n\")\n"
        << "ruleset(name=\"collect\") { action(type=\"omfile\" file=\"" << output().string()
        << "\" template=\"fields\") }\n"
        << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << udpPort << "\" ruleset=\"collect\")\n"
        << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << tcpPort << "\" ruleset=\"collect\")\n";
    start();
  }
  ~Rsyslog() {
    process.reset();  // SIGKILL if a case left it running
    fs::remove_all(dir);
  }

  // Starts rsyslogd and waits until a probe sent over UDP reaches the file
  // (TCP is up by then: both inputs start together).
  void start() {
    process = std::make_unique<Child>(std::vector<std::string>{
        binary(), "-n", "-f", (dir / "rsyslog.conf").string(), "-i", (dir / "rsyslogd.pid").string()});
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(udpPort));
    const std::string message = "<14>1 - - - - probe - ready " + std::to_string(++starts);
    for (int i = 0; i < 100 && !contains(fileText(), message.substr(message.find("ready"))); ++i) {
      ::sendto(probe.get(), message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      process->waitFor([](const Outcome&) { return false; }, 100ms);  // lets it run
    }
    ASSERT_TRUE(contains(fileText(), "ready " + std::to_string(starts))) << process->seen().err;
  }
  void stop(int signal = SIGTERM) { process->finish(signal); }
  void pause() { ::kill(process->pid(), SIGSTOP); }

  std::string fileText() const {
    std::ifstream in(output());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // The messages forwarded from records (probes and gap notices left out).
  std::vector<Collected> records() const {
    std::vector<Collected> found;
    static const std::regex kParam(R"re(([a-z]+)="((?:[^"\\]|\\.)*)")re");
    for (const std::string& line : lines(fileText())) {
      std::vector<std::string> f;
      std::size_t at = 0;
      for (int i = 0; i < 6; ++i) {
        const std::size_t bar = line.find('|', at);
        if (bar == std::string::npos) break;
        f.push_back(line.substr(at, bar - at));
        at = bar + 1;
      }
      if (f.size() != 6 || !contains(f[5], " seq=")) continue;
      Collected c{std::stoi(f[0]), f[1], f[2], f[3], f[4], f[5], line.substr(at), {}};
      for (std::sregex_iterator it(f[5].begin(), f[5].end(), kParam), end; it != end; ++it) {
        c.params[(*it)[1]] = (*it)[2];
      }
      found.push_back(std::move(c));
    }
    return found;
  }

  const int udpPort = freePort(SOCK_DGRAM);
  const int tcpPort = freePort(SOCK_STREAM);

 private:
  fs::path output() const { return dir / "messages.log"; }

  fs::path dir;
  std::unique_ptr<Child> process;
  int starts = 0;
};

class ForwardToRsyslog : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Rsyslog::binary().empty()) GTEST_SKIP() << "rsyslogd not installed";
    collector = std::make_unique<Rsyslog>();
  }
  std::unique_ptr<Rsyslog> collector;
};

long forwardedRecords(const std::string& err) {
  const std::size_t at = err.find("forwarded ");
  return at == std::string::npos ? -1 : std::stol(err.substr(at + 10));
}

TEST_F(ForwardToRsyslog, EveryRecordArrivesOnceInOrderWithItsFields) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  const auto discovered = nlohmann::json::parse(remote({"discover", "--json"}).out);
  for (const std::string transport : {"udp", "tcp"}) {
    SCOPED_TRACE(transport);
    const std::size_t before = collector->records().size();
    const int port = transport == "udp" ? collector->udpPort : collector->tcpPort;
    const Outcome forward = remote({"forward", host.target(), "--duration", "1500ms", "--to",
                                    transport + "://127.0.0.1:" + std::to_string(port)});
    ASSERT_EQ(forward.exitCode, 0) << forward.err;

    const auto all = collector->records();
    const std::vector<Collected> got(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    ASSERT_GT(got.size(), 20u);
    EXPECT_EQ(static_cast<long>(got.size()), forwardedRecords(forward.err)) << forward.err;
    // Severity from the client level, facility user (1): PRI 8 + severity.
    const std::map<std::string, int> kPri = {{"31", 11}, {"30", 12}, {"29", 14}};
    for (std::size_t i = 0; i < got.size(); ++i) {
      const Collected& c = got[i];
      SCOPED_TRACE(c.structuredData);
      if (i > 0) {
        EXPECT_EQ(std::stoul(c.params.at("seq")), std::stoul(got[i - 1].params.at("seq")) + 1);
      }
      EXPECT_EQ(c.params.at("uuid"), discovered["uuid"]);
      EXPECT_EQ(c.params.at("target"), host.target());
      EXPECT_EQ(c.pri, kPri.at(c.params.at("level")));
      EXPECT_EQ(c.hostname, "127.0.0.1");
      EXPECT_EQ(c.appName, "e2e-host");
      EXPECT_EQ(c.procId, std::to_string(host.pid));
      EXPECT_TRUE(c.msgId == "net" || c.msgId == "db" || c.msgId == "ui");
      EXPECT_TRUE(contains(c.msg, " (#")) << c.msg;
    }
  }
}

TEST_F(ForwardToRsyslog, TcpCollectorKilledMidStreamLosesNothingTheWindowHolds) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  Child forward({TARVIN_REMOTE_BIN, "forward", host.target(), "--to",
                 "tcp://127.0.0.1:" + std::to_string(collector->tcpPort)});
  const auto recordsAtLeast = [&](std::size_t n) {
    return forward.waitFor([&](const Outcome&) { return collector->records().size() >= n; });
  };
  ASSERT_TRUE(recordsAtLeast(20));
  // Stopped, the collector leaves what we write in its socket; killed, it
  // loses all of it. A pause of well under a window's worth of records at
  // this rate (about 120/s) puts records in flight that only a resend saves.
  collector->pause();
  std::this_thread::sleep_for(400ms);
  collector->stop(SIGKILL);
  ASSERT_TRUE(forward.waitFor([](const Outcome& o) { return contains(o.err, "lost connection"); }));
  collector->start();
  ASSERT_TRUE(forward.waitFor([](const Outcome& o) { return contains(o.err, "reconnected"); }));
  const std::size_t afterRestart = collector->records().size();
  ASSERT_TRUE(recordsAtLeast(afterRestart + 20));

  const Outcome outcome = forward.finish(SIGTERM);
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  std::set<unsigned long> seen;
  for (const Collected& c : collector->records()) seen.insert(std::stoul(c.params.at("seq")));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.size(), *seen.rbegin() - *seen.begin() + 1) << "sequence numbers missing";
  EXPECT_EQ(static_cast<long>(seen.size()), forwardedRecords(outcome.err)) << outcome.err;
}

// No collector listens: everything is queued, the overflow is dropped and
// counted, and the rest is reported as not delivered.
TEST(Forward, ReportsWhatItCouldNotDeliver) {
  ExampleHost host;
  ASSERT_NE(host.port, 0);
  const Outcome forward = remote({"forward", host.target(), "--duration", "1s", "--queue", "5", "--to",
                                  "tcp://127.0.0.1:" + std::to_string(freePort(SOCK_STREAM))});
  EXPECT_EQ(forward.exitCode, 1);
  EXPECT_TRUE(contains(forward.err, "cannot connect to tcp://127.0.0.1:")) << forward.err;
  EXPECT_TRUE(contains(forward.err, "is full (5 messages); dropping the oldest")) << forward.err;
  const long records = forwardedRecords(forward.err);
  ASSERT_GT(records, 5) << forward.err;
  EXPECT_TRUE(contains(forward.err, "sent 0 messages to tcp://127.0.0.1:")) << forward.err;
  EXPECT_TRUE(contains(forward.err, "dropped " + std::to_string(records - 5) + " (queue full); 5 not delivered"))
      << forward.err;
}

}  // namespace
