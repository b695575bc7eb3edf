// tests/support/interpose.cpp
//
// Definitions of system calls that shadow the C library's for the whole test
// process (the executable exports them, so the plug-in binds to them). Each
// forwards to the next definition, found with dlsym(RTLD_NEXT), unless a test
// has armed a fault.
//
// Threads: hooks run on any thread; their state is atomics and one mutex.
#include "support/interpose.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace fault {
namespace {

struct Arm {
  std::atomic<int> skip{0};
  std::atomic<int> count{0};
  std::atomic<int> error{0};
};

std::array<Arm, static_cast<std::size_t>(Call::kCount)> arms;
std::atomic<int> sendtoFailPort{-1};
std::atomic<int> timerMilliseconds{0};
thread_local bool holdThisThread = false;
std::atomic<bool> sendsReleased{false};
std::atomic<int> sendsHeld{0};
std::atomic<int> injectedFd{-1};

std::mutex recordMutex;
std::vector<int> waitSizes;
std::vector<int> timers;
std::vector<int> sentTo;
std::atomic<bool> recordSends{false};

// True when this call is to fail; errno is set then.
bool shouldFail(Call call) {
  Arm& arm = arms[static_cast<std::size_t>(call)];
  if (arm.count.load() <= 0) return false;
  if (arm.skip.load() > 0) {
    arm.skip.fetch_sub(1);
    return false;
  }
  if (arm.count.fetch_sub(1) <= 0) return false;
  errno = arm.error.load();
  return true;
}

}  // namespace

void failCalls(Call call, int count, int error, int skip) {
  Arm& arm = arms[static_cast<std::size_t>(call)];
  arm.error = error;
  arm.skip = skip;
  arm.count = count;
}

void failSendtoPort(std::uint16_t port) { sendtoFailPort = port; }
void holdSendsOfThisThread() {
  sendsReleased = false;
  holdThisThread = true;
}
void releaseHeldSends() { sendsReleased = true; }
int heldSends() { return sendsHeld.load(); }

// Waits, without any lock or cancellation point, until the test releases
// the held sends.
void waitIfHeld() {
  if (!holdThisThread || sendsReleased.load()) return;
  ++sendsHeld;
  const timespec step{0, 100'000};
  while (!sendsReleased.load()) ::syscall(SYS_nanosleep, &step, nullptr);
  --sendsHeld;
}

void setTimerMilliseconds(int milliseconds) { timerMilliseconds = milliseconds; }
void injectReadyFd(int fd) { injectedFd = fd; }

std::vector<int> epollWaitSizes() {
  std::lock_guard lock(recordMutex);
  return waitSizes;
}

void recordSendto(bool on) { recordSends = on; }

std::vector<int> sendtoPorts() {
  std::lock_guard lock(recordMutex);
  return sentTo;
}

std::vector<int> createdTimers() {
  std::lock_guard lock(recordMutex);
  return timers;
}

void reset() {
  for (Arm& arm : arms) arm.count = 0;
  sendtoFailPort = -1;
  sendsReleased = true;
  timerMilliseconds = 0;
  injectedFd = -1;
  std::lock_guard lock(recordMutex);
  waitSizes.clear();
  timers.clear();
  sentTo.clear();
  recordSends = false;
}

}  // namespace fault

using fault::Call;
using fault::shouldFail;

// The definition of `name` that this file shadows, looked up once per call site.
#define NEXT(name)                                                                         \
  ([] {                                                                                    \
    static const auto next = reinterpret_cast<decltype(&name)>(::dlsym(RTLD_NEXT, #name)); \
    return next;                                                                           \
  }())

extern "C" {

int epoll_create(int size) {
  if (shouldFail(Call::kEpollCreate)) return -1;
  return NEXT(epoll_create)(size);
}

int epoll_ctl(int epfd, int op, int fd, epoll_event* event) {
  if (op == EPOLL_CTL_ADD && shouldFail(Call::kEpollCtlAdd)) return -1;
  return NEXT(epoll_ctl)(epfd, op, fd, event);
}

int epoll_wait(int epfd, epoll_event* events, int maxevents, int timeout) {
  {
    std::lock_guard lock(fault::recordMutex);
    fault::waitSizes.push_back(maxevents);
  }
  if (shouldFail(Call::kEpollWait)) return -1;
  int ready = NEXT(epoll_wait)(epfd, events, maxevents, timeout);
  const int injected = fault::injectedFd.exchange(-1);
  if (injected != -1 && ready >= 0 && ready < maxevents) {
    events[ready].events = EPOLLIN;
    events[ready].data.fd = injected;
    ++ready;
  } else if (injected != -1) {
    fault::injectedFd = injected;  // no room this time: report it next time
  }
  return ready;
}

int socket(int domain, int type, int protocol) {
  if (shouldFail(Call::kSocket)) return -1;
  return NEXT(socket)(domain, type, protocol);
}

int bind(int fd, const sockaddr* address, socklen_t length) {
  if (shouldFail(Call::kBind)) return -1;
  return NEXT(bind)(fd, address, length);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
  if (shouldFail(Call::kSetSockOpt)) return -1;
  return NEXT(setsockopt)(fd, level, name, value, length);
}

int pipe(int ends[2]) {
  if (shouldFail(Call::kPipe)) return -1;
  return NEXT(pipe)(ends);
}

int timerfd_create(int clock, int flags) {
  if (shouldFail(Call::kTimerfdCreate)) return -1;
  const int fd = NEXT(timerfd_create)(clock, flags);
  std::lock_guard lock(fault::recordMutex);
  fault::timers.push_back(fd);
  return fd;
}

int timerfd_settime(int fd, int flags, const itimerspec* value, itimerspec* old) {
  if (shouldFail(Call::kTimerfdSettime)) return -1;
  const int ms = fault::timerMilliseconds.load();
  if (ms == 0 || value == nullptr) return NEXT(timerfd_settime)(fd, flags, value, old);
  itimerspec scaled{};
  scaled.it_value.tv_sec = ms / 1000;
  scaled.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  return NEXT(timerfd_settime)(fd, flags, &scaled, old);
}

ssize_t write(int fd, const void* data, size_t length) {
  if (length == 1 && *static_cast<const char*>(data) == 'x' && shouldFail(Call::kStopByteWrite)) {
    return -1;
  }
  return NEXT(write)(fd, data, length);
}

ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
               socklen_t toLength) {
  fault::waitIfHeld();
  if (to != nullptr && to->sa_family == AF_INET) {
    const int port = ntohs(reinterpret_cast<const sockaddr_in*>(to)->sin_port);
    if (fault::recordSends.load()) {
      std::lock_guard lock(fault::recordMutex);
      fault::sentTo.push_back(port);
    }
    if (port == fault::sendtoFailPort.load()) {
      errno = ECONNREFUSED;
      return -1;
    }
  }
  return NEXT(sendto)(fd, data, length, flags, to, toLength);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
  if (shouldFail(Call::kPthreadCreate)) return errno;
  return NEXT(pthread_create)(thread, attr, start, arg);
}

}  // extern "C"
