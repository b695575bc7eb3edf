// tests/target/client_registry_test.cpp
//
// The client registry over real timers and the real worker loop: the limit
// of five, order, idle expiry and renewal, and timer set-up failures. Idle
// timers are shortened in all but one test, which waits the real 30 seconds.
#include <algorithm>
#include <thread>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

class ClientRegistry : public TargetTest {
 protected:
  void SetUp() override {
    TargetTest::SetUp();
    target = std::make_unique<Target>();
  }
  // The ports the next record goes to, in the order it is sent.
  std::vector<int> recipients() {
    fault::recordSendto(true);
    target->log(5, "who gets this");
    fault::recordSendto(false);
    const auto ports = fault::sendtoPorts();
    fault::reset();
    return ports;
  }

  std::unique_ptr<Target> target;
  LoopbackClient a, b, c, d;
};

TEST_F(ClientRegistry, RemovingTheMiddleClientKeepsTheOrderOfTheOthers) {
  ASSERT_TRUE(a.registerWith(target->port()));
  ASSERT_TRUE(b.registerWith(target->port()));
  ASSERT_TRUE(c.registerWith(target->port()));
  b.send(target->port(), descriptorOnly(wire::kUnregistrationRequest));
  ASSERT_TRUE(d.registerWith(target->port()));
  EXPECT_EQ(recipients(), (std::vector<int>{a.port(), c.port(), d.port()}));
}

// The renewing client registers first, so that removing the registry's
// first entry instead of the expired one shows.
TEST_F(ClientRegistry, RenewingKeepsAClientWhileItsSilentNeighbourExpires) {
  fault::setTimerMilliseconds(400);
  ASSERT_TRUE(a.registerWith(target->port()));
  ASSERT_TRUE(b.registerWith(target->port()));
  for (int i = 0; i < 6; ++i) {  // 1.2 s of renewals, three idle timeouts
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(a.registerWith(target->port()));
  }
  EXPECT_EQ(syslog_capture::count("Removing client 127.0.0.1 (idle timeout)"), 1);
  EXPECT_EQ(syslog_capture::entries().back().priority, 7);
  EXPECT_EQ(recipients(), (std::vector<int>{a.port()}));

  // Expired is not banned: the next RRQ registers it anew.
  b.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_TRUE(syslog_capture::waitFor("New client: " + b.address()));
}

TEST_F(ClientRegistry, TimerSetUpFailuresLeaveNoClientAndNoDescriptor) {
  static const struct {
    const char* name;
    fault::Call call;
    std::string message;
  } kCases[] = {
      {"create", fault::Call::kTimerfdCreate, "Unable to create timerfd for client 127.0.0.1"},
      {"watch", fault::Call::kEpollCtlAdd, "Unable to add fd "},
      {"arm", fault::Call::kTimerfdSettime,
       "Unable to (re-)start client timer - errno=Cannot allocate memory"},
  };
  ASSERT_TRUE(a.probe(target->port()));
  const int descriptors = openDescriptors();
  for (const auto& k : kCases) {
    SCOPED_TRACE(k.name);
    syslog_capture::clear();
    fault::failCalls(k.call, 1, ENOMEM);
    a.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
    EXPECT_TRUE(a.probe(target->port())) << "a client that was not added got a reply";
    const auto messages = syslog_capture::entries();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].text, "New client: " + a.address());
    EXPECT_EQ(messages[1].text.substr(0, k.message.size()), k.message);
    EXPECT_EQ(messages[1].priority, 3);
    EXPECT_EQ(messages[2].text, "Unable to add client: " + a.address());
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_TRUE(recipients().empty());
  }
}

TEST_F(ClientRegistry, ARenewalThatCannotRestartTheTimerDropsTheClient) {
  ASSERT_TRUE(a.registerWith(target->port()));
  fault::failCalls(fault::Call::kTimerfdSettime, 1, EINVAL);
  a.send(target->port(), descriptorOnly(wire::kRegistrationRequest));
  EXPECT_TRUE(a.probe(target->port())) << "a failed renewal was confirmed";
  EXPECT_EQ(syslog_capture::entries().back().text,
            "Unable to (re-)start client timer - errno=Invalid argument");
  EXPECT_TRUE(recipients().empty());
  EXPECT_TRUE(a.registerWith(target->port()));
  EXPECT_EQ(syslog_capture::count("New client: " + a.address()), 2);
}

// The one slow test: the real 30 seconds, with a renewal at 20.
TEST_F(ClientRegistry, RealIdleTimeoutCountsFromTheLastRenewal) {
  ASSERT_TRUE(a.registerWith(target->port()));
  ASSERT_TRUE(b.registerWith(target->port()));
  std::this_thread::sleep_for(20s);
  ASSERT_TRUE(a.registerWith(target->port()));
  EXPECT_TRUE(syslog_capture::waitFor("Removing client 127.0.0.1 (idle timeout)", 12s));
  ASSERT_TRUE(c.probe(target->port()));
  EXPECT_EQ(recipients(), (std::vector<int>{a.port()})) << "only the silent client expires";
}

}  // namespace
