// tests/support/interpose.h
//
// System calls that a test can make fail, slow down or watch. The test
// executable defines socket(), bind(), epoll_wait() and the others itself
// (interpose.cpp) and exports them, so the plug-in, loaded later, binds to
// these definitions; each forwards to the C library unless a test armed it.
//
// Threads: arming and reading happen on the test's thread; the hooks run on
// whichever thread makes the call (the target's worker thread included).
#pragma once

#include <cstdint>
#include <vector>

namespace fault {

enum class Call {
  kEpollCreate,
  kEpollCtlAdd,
  kSocket,
  kBind,
  kSetSockOpt,
  kPipe,
  kTimerfdCreate,
  kTimerfdSettime,
  kStopByteWrite,  // a one-byte write of "x"
  kPthreadCreate,
  kEpollWait,
  kCount
};

// After `skip` further calls that succeed, the next `count` calls fail with
// errno `error` (the call itself is not made).
void failCalls(Call call, int count, int error, int skip = 0);

// sendto() towards this UDP port (host byte order) fails with ECONNREFUSED.
void failSendtoPort(std::uint16_t port);

// Holds the calling thread's sendto() calls in the hook, as a send into a
// full socket buffer would, until releaseHeldSends(): a thread held there
// inside log() keeps its record lock. heldSends() counts the calls waiting.
void holdSendsOfThisThread();
void releaseHeldSends();
int heldSends();

// Client idle timers are armed for this many milliseconds instead of the
// seconds they ask for (0 restores real time).
void setTimerMilliseconds(int milliseconds);

// The next epoll_wait() that returns reports `fd` as ready as well.
void injectReadyFd(int fd);

// maxevents of every epoll_wait() call since the last reset.
std::vector<int> epollWaitSizes();

// Destination ports (host byte order) of every sendto() since recording
// was switched on (off after a reset; recording allocates).
void recordSendto(bool on);
std::vector<int> sendtoPorts();

// Descriptors handed out by timerfd_create() since the last reset.
std::vector<int> createdTimers();

// Disarms everything and forgets what was recorded.
void reset();

}  // namespace fault
