// tests/target/construction_test.cpp
//
// A target's birth and death: which port it binds, exactly which descriptors
// and threads it holds and gives back, and how it degrades when a set-up
// step fails for real (the failing call is made to fail in this process).
#include <regex>
#include <vector>

#include "support/target_fixture.h"

namespace {

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

  // A freed port is taken again by the next target.
  targets[3].reset();
  Target again;
  EXPECT_TRUE(client.probe(wire::kFirstPort + 3));
}

// Each set-up step made to fail (and, last, the stop byte at release): the
// messages it must leave, the descriptors the target holds (all closed again
// on release) and the port it serves on, if any.
TEST_F(TargetConstruction, EachFailingStepIsReportedAndReleasedCleanly) {
  using fault::Call;
  using Entry = syslog_capture::Entry;
  const auto sorry = [](const std::string& what, const std::string& error) {
    return Entry{
        3, "Unable to create " + what + " - errno=" + error + " - sorry no remote logging. :("};
  };
  const Entry noEpoll = sorry("epoll-fd", "Too many open files");
  const Entry noSocket = sorry("log-socket", "Too many open files in system");
  const Entry noWatch{3, "Unable to add fd %FD% to epoll (errno=Cannot allocate memory)"};
  const Entry unwatchedSocket = sorry("log-socket", "Cannot allocate memory");
  const Entry noPipe = sorry("command-pipe", "Too many open files");
  const Entry noBuffer{
      4, "unable to increase sendbuffer size for logsocket - errno=Operation not permitted"};
  const Entry worker{7, "workerthread created"};
  const struct {
    const char* name;
    Call call;
    int error, count, skip;
    std::vector<Entry> messages;
    int descriptorsHeld;
    int servesOn;  // offset from the first port; -1: no worker
  } kCases[] = {
      {"epoll instance", Call::kEpollCreate, EMFILE, 1, 0, {noEpoll}, 0, -1},
      {"every socket", Call::kSocket, ENFILE, wire::kPortCount, 0, {noSocket}, 1, -1},
      {"every bind", Call::kBind, EADDRINUSE, wire::kPortCount, 0, {{3, kNoLogSocket}}, 1, -1},
      {"watching the socket", Call::kEpollCtlAdd, ENOMEM, 1, 0, {noWatch, unwatchedSocket}, 2, -1},
      {"command pipe", Call::kPipe, EMFILE, 1, 0, {noPipe}, 2, -1},
      // A pipe that cannot wake the worker must not start one: it could never be joined.
      {"watching the pipe", Call::kEpollCtlAdd, ENOMEM, 1, 1, {noWatch}, 4, -1},
      // The socket of the taken port is closed before the next port is tried.
      {"first port taken", Call::kBind, EADDRINUSE, 1, 0, {worker}, 4, 1},
      {"send buffer refused", Call::kSetSockOpt, EPERM, 1, 0, {noBuffer, worker}, 4, 0},
      // Release hangs the pipe up instead; a worker never woken would hang in join().
      {"stop byte at release", Call::kStopByteWrite, EIO, 1, 0, {worker}, 4, 0},
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
      EXPECT_EQ(openDescriptors(), descriptors + c.descriptorsHeld);
      EXPECT_EQ(runningThreads(), threads + (c.servesOn >= 0));
      // The descriptor number is whatever the kernel gave; the rest is exact.
      std::vector<syslog_capture::Entry> expected{{7, "pre uuid"}, {7, "post uuid"}};
      expected.insert(expected.end(), c.messages.begin(), c.messages.end());
      auto messages = syslog_capture::entries();
      for (auto& m : messages)
        m.text = std::regex_replace(m.text, std::regex("fd [0-9]+"), "fd %FD%");
      EXPECT_EQ(messages, expected);
      EXPECT_EQ(target->getType(), 2);
      target.log(5, "accepted, forwarded or not");
      EXPECT_TRUE(c.servesOn < 0 || LoopbackClient().probe(wire::kFirstPort + c.servesOn));
    }
    fault::reset();
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(runningThreads(), threads);
  }
}

}  // namespace
