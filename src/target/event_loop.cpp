// src/target/event_loop.cpp
//
// The worker thread of a CLogtargetRemote: it sleeps in epoll_wait without a
// time limit and hands each ready descriptor to its handler, one at a time.
// Also the target's operations on its epoll watch list and its descriptors.
//
// Threads: workerThreadStartup() and everything it dispatches run on the
// worker thread. addFd() and closeFd() are also used by construction and
// destruction, before the worker starts or after it has been joined.
#include "target/log_target_remote.h"

#include <sys/epoll.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void CLogtargetRemote::workerThreadStartup() {
  workerId = std::this_thread::get_id();
  // Offered whole to every wait. It only grows: it is resized only when a
  // new client has raised the number of descriptors that can be ready. Each
  // wake-up hands the dispatcher a copy, which costs one allocation on the
  // worker thread and none on the host's.
  std::vector<epoll_event> events;
  while (!stopRequested) {
    const std::size_t needed = clientCount() + 3;
    if (events.size() < needed) events.resize(needed);

    const int rc = ::epoll_wait(epollFd, events.data(), static_cast<int>(events.size()),
                                /*timeout=*/-1);
    if (rc == 0) {
      syslog(3, "epoll_wait returned with timeout, but there is no timeout specified!?");
      continue;
    }
    if (rc < 0) {
      const int err = errno;
      if (err == EINTR || err == EAGAIN) continue;  // a signal, not a failure
      syslog(3, "epoll_wait returned %i, errno=%s - ending log-workerthread.", rc,
             std::strerror(err));
      break;
    }
    onEpollWakeup(events, rc);
  }
}

void CLogtargetRemote::onEpollWakeup(std::vector<epoll_event> events, int count) {
  for (int i = 0; i < count; ++i) {
    const int fd = events[static_cast<std::size_t>(i)].data.fd;
    if (fd == logSocket) {
      onLogSocketReceive();
    } else if (fd == cmdPipeReadFd) {
      // Entries after the pipe's are dropped: the target is going away.
      if (onPipeCommand() == 1) return;
    } else {
      onClientTimeout(fd);
    }
  }
}

int CLogtargetRemote::onPipeCommand() {
  // The byte stays in the pipe: the loop ends before it could be seen again.
  stopRequested = true;
  return 1;
}

int CLogtargetRemote::addFd(int fd) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = fd;
  if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
    const int err = errno;
    syslog(3, "Unable to add fd %i to epoll (errno=%s)", fd, std::strerror(err));
    errno = err;  // the caller's own message names the same failure
    return -1;
  }
  return 0;
}

int CLogtargetRemote::removeFd(int fd) {
  return ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, /*event=*/nullptr);
}

void CLogtargetRemote::closeFd(int& fd) {
  if (fd == -1) return;
  ::close(fd);  // never retried: Linux has released the descriptor even on EINTR
  fd = -1;
}
