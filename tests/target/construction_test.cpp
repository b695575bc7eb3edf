// tests/target/construction_test.cpp
//
// A target's birth and death: which port it binds, exactly which descriptors
// and threads it holds and gives back, and how it degrades when a set-up
// step fails for real (the failing call is made to fail in this process).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <vector>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

class TargetConstruction : public TargetTest {};

const std::string kNoLogSocket =
    "Unable to create log-socket - errno=Address already in use - sorry no remote logging. :(";

TEST_F(TargetConstruction, TargetsTakeSuccessivePortsAndTheEleventhHasNone) {
  std::vector<std::unique_ptr<Target>> targets;
  for (int i = 0; i < wire::kPortCount; ++i) targets.push_back(std::make_unique<Target>());
  LoopbackClient client;
  EXPECT_TRUE(client.probe(wire::kFirstPort));
  EXPECT_TRUE(client.probe(wire::kFirstPort + wire::kPortCount - 1));

  const int threads = runningThreads();
  syslog_capture::clear();
  Target eleventh;
  EXPECT_EQ(syslog_capture::count(kNoLogSocket), 1);
  EXPECT_EQ(runningThreads(), threads) << "no worker without a socket";
  EXPECT_EQ(eleventh->getName(), "Remote_Target_1.0, but you can call me Al.");
  eleventh.log(5, "goes nowhere");  // accepted all the same

  // A freed port is taken again by the next target.
  targets[3].reset();
  Target again;
  EXPECT_TRUE(client.probe(wire::kFirstPort + 3));
}

TEST_F(TargetConstruction, SkipsATakenPortAndKeepsOnlyTheSocketItBound) {
  const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in taken{};
  taken.sin_family = AF_INET;
  taken.sin_port = htons(wire::kFirstPort);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&taken), sizeof taken), 0);

  const int descriptors = openDescriptors();
  {
    Target target;
    EXPECT_EQ(openDescriptors(), descriptors + 4) << "epoll, socket and both pipe ends";
    LoopbackClient client;
    EXPECT_TRUE(client.probe(wire::kFirstPort + 1));
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  ::close(blocker);
}

TEST_F(TargetConstruction, ActiveTargetHoldsFourDescriptorsAndOneThreadUntilReleased) {
  plugin();
  const int descriptors = openDescriptors();
  const int threads = runningThreads();
  {
    Target target;
    EXPECT_EQ(openDescriptors(), descriptors + 4);
    EXPECT_EQ(runningThreads(), threads + 1);
    EXPECT_EQ(syslog_capture::entries(),
              (std::vector<syslog_capture::Entry>{
                  {7, "pre uuid"}, {7, "post uuid"}, {7, "workerthread created"}}));
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(runningThreads(), threads);
}

TEST_F(TargetConstruction, ManyCyclesWithClientsLeakNothing) {
  plugin();
  LoopbackClient client;
  const int descriptors = openDescriptors();
  const int threads = runningThreads();
  for (int i = 0; i < 50; ++i) {
    Target target;
    if (i % 5 == 0) {
      ASSERT_TRUE(client.registerWith(target.port()));  // a timer to close too
    }
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(runningThreads(), threads);
}

// Each failing step: the message it must leave, and the descriptors the
// half-made target holds (all of them closed again on release).
TEST_F(TargetConstruction, DegradedTargetsReportTheirStepAndAreReleasedCleanly) {
  static const struct {
    const char* name;
    fault::Call call;
    int error;
    int count;
    int skip;
    std::vector<syslog_capture::Entry> messages;
    int descriptorsHeld;
  } kCases[] = {
      {"epoll instance", fault::Call::kEpollCreate, EMFILE, 1, 0,
       {{3, "Unable to create epoll-fd - errno=Too many open files - sorry no remote logging. :("}}, 0},
      {"every socket", fault::Call::kSocket, ENFILE, wire::kPortCount, 0,
       {{3, "Unable to create log-socket - errno=Too many open files in system - sorry no remote "
            "logging. :("}}, 1},
      {"every bind", fault::Call::kBind, EADDRINUSE, wire::kPortCount, 0, {{3, kNoLogSocket}}, 1},
      {"watching the socket", fault::Call::kEpollCtlAdd, ENOMEM, 1, 0,
       {{3, "Unable to add fd %FD% to epoll (errno=Cannot allocate memory)"},
        {3, "Unable to create log-socket - errno=Cannot allocate memory - sorry no remote logging. :("}},
       2},
      {"command pipe", fault::Call::kPipe, EMFILE, 1, 0,
       {{3, "Unable to create command-pipe - errno=Too many open files - sorry no remote logging. :("}},
       2},
      // A pipe that cannot wake the worker must not start one: it could never be joined.
      {"watching the pipe", fault::Call::kEpollCtlAdd, ENOMEM, 1, 1,
       {{3, "Unable to add fd %FD% to epoll (errno=Cannot allocate memory)"}}, 4},
  };
  plugin();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    syslog_capture::clear();
    const int descriptors = openDescriptors();
    const int threads = runningThreads();
    fault::failCalls(c.call, c.count, c.error, c.skip);
    {
      Target target;
      fault::reset();
      EXPECT_EQ(openDescriptors(), descriptors + c.descriptorsHeld);
      EXPECT_EQ(runningThreads(), threads);
      // The descriptor number is whatever the kernel gave; the rest is exact.
      std::vector<syslog_capture::Entry> expected{{7, "pre uuid"}, {7, "post uuid"}};
      expected.insert(expected.end(), c.messages.begin(), c.messages.end());
      auto messages = syslog_capture::entries();
      for (auto& m : messages) m.text = std::regex_replace(m.text, std::regex("fd [0-9]+"), "fd %FD%");
      EXPECT_EQ(messages, expected);
      EXPECT_EQ(target->getType(), 2);
      target.log(5, "accepted, forwarded nowhere");
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(runningThreads(), threads);
  }
}

TEST_F(TargetConstruction, RefusedSendBufferIsAWarningAndTheTargetServes) {
  fault::failCalls(fault::Call::kSetSockOpt, 1, EPERM);
  Target target;
  EXPECT_EQ(syslog_capture::count(
                "unable to increase sendbuffer size for logsocket - errno=Operation not permitted"),
            1);
  EXPECT_EQ(syslog_capture::entries().at(2).priority, 4);
  LoopbackClient client;
  EXPECT_TRUE(client.probe(target.port()));
}

TEST_F(TargetConstruction, ReleaseStopsTheWorkerEvenWhenTheStopByteCannotBeWritten) {
  plugin();
  const int descriptors = openDescriptors();
  const int threads = runningThreads();
  {
    Target target;
    fault::failCalls(fault::Call::kStopByteWrite, 1, EIO);
  }  // would hang in join() if the worker were never woken
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(runningThreads(), threads);
}

}  // namespace
