// tests/target/event_loop_test.cpp
//
// The worker thread's loop: how many events each wait offers, what it does
// with a descriptor it does not know, a signal in the middle of a wait, and
// a wait that fails for good.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

class EventLoop : public TargetTest {
 protected:
  void SetUp() override {
    TargetTest::SetUp();
    target = std::make_unique<Target>();
  }
  std::unique_ptr<Target> target;
  LoopbackClient client;
};

TEST_F(EventLoop, EventVectorGrowsWithTheRegistryAndNeverShrinks) {
  ASSERT_TRUE(client.probe(target->port()));
  EXPECT_EQ(fault::epollWaitSizes().back(), 3);

  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(std::make_unique<LoopbackClient>());
    ASSERT_TRUE(clients.back()->registerWith(target->port()));
  }
  ASSERT_TRUE(client.probe(target->port()));
  EXPECT_EQ(fault::epollWaitSizes().back(), 8);

  for (auto& c : clients) c->send(target->port(), descriptorOnly(wire::kUnregistrationRequest));
  ASSERT_TRUE(client.probe(target->port()));
  const auto sizes = fault::epollWaitSizes();
  EXPECT_EQ(sizes.back(), 8) << "the vector shrank after clients left";
  EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end()));
}

TEST_F(EventLoop, ExpiryOfAClientAlreadyGoneIsReportedAndChangesNothing) {
  LoopbackClient leaving;
  ASSERT_TRUE(leaving.registerWith(target->port()));
  ASSERT_TRUE(client.registerWith(target->port()));
  const int leavingTimer = fault::createdTimers().front();
  leaving.send(target->port(), descriptorOnly(wire::kUnregistrationRequest));
  ASSERT_TRUE(client.probe(target->port()));

  fault::injectReadyFd(leavingTimer);
  ASSERT_TRUE(client.probe(target->port()));  // wakes the worker
  const std::string message = "Unable to find client for active fd " + std::to_string(leavingTimer);
  EXPECT_TRUE(syslog_capture::waitFor(message));
  EXPECT_EQ(syslog_capture::entries().back().priority, 3);

  target->log(5, "still delivered");
  const auto record = client.receive();
  ASSERT_TRUE(record);
  EXPECT_EQ(be32At(*record, 0), wire::kLogRecord);
}

TEST_F(EventLoop, ASignalDuringTheWaitIsNotAFailure) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  ::sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART: the wait returns EINTR

  target.reset();
  const std::set<long> before = threadIds();
  target = std::make_unique<Target>();
  ASSERT_TRUE(client.probe(target->port()));  // the worker is waiting now
  syslog_capture::clear();
  for (const long tid : threadIds()) {
    if (!before.count(tid)) ::syscall(SYS_tgkill, ::getpid(), tid, SIGUSR1);  // the worker
  }
  ASSERT_TRUE(client.probe(target->port()));
  EXPECT_TRUE(syslog_capture::entries().empty()) << syslog_capture::entries().front().text;
}

TEST_F(EventLoop, AFailedWaitEndsTheWorkerWhileLogAndReleaseGoOn) {
  ASSERT_TRUE(client.registerWith(target->port()));
  const int threads = runningThreads();
  fault::failCalls(fault::Call::kEpollWait, 1, EBADF);
  // Wakes the worker if it is waiting already; its next wait fails either way.
  client.send(target->port(), descriptorOnly(wire::kDiscoveryRequest));
  EXPECT_TRUE(syslog_capture::waitFor(
      "epoll_wait returned -1, errno=Bad file descriptor - ending log-workerthread."));
  client.receiveAll(100ms);  // the DRQ's answer, if it came before the failure
  EXPECT_FALSE(client.probe(target->port(), 300ms)) << "requests are no longer answered";
  EXPECT_EQ(runningThreads(), threads - 1);

  target->log(5, "the registered client still gets this");
  const auto record = client.receive();
  ASSERT_TRUE(record);
  EXPECT_EQ(be32At(*record, 0), wire::kLogRecord);
  target.reset();  // must not hang
}

}  // namespace
