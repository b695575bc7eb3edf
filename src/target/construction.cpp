// src/target/construction.cpp
//
// Birth and death of a CLogtargetRemote: the uuid, the epoll instance, the
// log socket, the command pipe and the worker thread, in that order, and
// their release. Also the small ILogTarget operations that need no state.
//
// Threads: the constructor and destructor run on the host thread that calls
// create() or release(); the worker thread starts as the constructor's last
// step and is joined as the destructor's first.
#include "target/log_target_remote.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tarvin/host_api.h"
#include "wire/wire_format.h"

CLogtargetRemote::CLogtargetRemote(const CLogTargetParameters* /*params*/)
    : protocolBuffer(kBufferSize, 0), logBuffer(kBufferSize, 0) {
  ownClients().reserve(kMaxClients);  // appends never move the entries log() reads
  syslog(7, "pre uuid");
  uuid[0] = jiffy();
  uuid[1] = static_cast<std::uint32_t>(std::rand());
  // jiffy() and an unseeded rand() repeat across processes started in the
  // same tick; the process id and a fine clock reading keep two such
  // targets apart.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uuid[2] = static_cast<std::uint32_t>(::getpid());
  uuid[3] = static_cast<std::uint32_t>(now.tv_nsec);
  syslog(7, "post uuid");

  epollFd = ::epoll_create(1);
  if (epollFd == -1) {
    syslog(3, "Unable to create epoll-fd - errno=%s - sorry no remote logging. :(",
           std::strerror(errno));
    return;
  }
  if (createLogsocket() != 0) {
    syslog(3, "Unable to create log-socket - errno=%s - sorry no remote logging. :(",
           std::strerror(errno));
    return;
  }
  if (createCmdPipe() != 0) {
    syslog(3, "Unable to create command-pipe - errno=%s - sorry no remote logging. :(",
           std::strerror(errno));
    return;
  }
  if (!cmdPipeWatched) return;  // addFd() has said why

  try {
    workerThread = new (std::nothrow) std::thread(&CLogtargetRemote::workerThreadStartup, this);
  } catch (...) {
    // The exception leaves the constructor, so no destructor will run: close
    // what construction opened before the host sees the exception.
    closeFd(epollFd);
    closeFd(logSocket);
    closeFd(cmdPipeReadFd);
    closeFd(cmdPipeWriteFd);
    throw;
  }
  if (workerThread == nullptr) return;
  syslog(7, "workerthread created");
}

CLogtargetRemote::~CLogtargetRemote() {
  if (workerThread != nullptr && cmdPipeWriteFd != -1) {
    ssize_t written;
    do {
      written = ::write(cmdPipeWriteFd, "x", 1);
    } while (written == -1 && errno == EINTR);
    // A pipe whose byte cannot be written can still be hung up: closing the
    // write end makes the read end readable too, and the worker stops on it.
    if (written != 1) closeFd(cmdPipeWriteFd);
    workerThread->join();
  }
  delete workerThread;
  workerThread = nullptr;
  workerId = std::thread::id();  // the registry is this thread's now

  closeFd(epollFd);
  closeFd(logSocket);
  closeFd(cmdPipeReadFd);
  closeFd(cmdPipeWriteFd);
  for (CLogClient& client : ownClients()) ::close(client.timerFd);
}

int CLogtargetRemote::createLogsocket() {
  for (unsigned i = 0; i < wire::kPortCount; ++i) {
    logSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (logSocket == -1) continue;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(wire::kFirstPort + i));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(logSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
    const int bindError = errno;
    closeFd(logSocket);
    errno = bindError;  // the caller's message names the last failure
  }
  if (logSocket == -1) return -1;

  // A burst of records to five clients must not block a host thread in
  // sendto(); one MiB of send buffer absorbs it.
  const std::int32_t sendBufferSize = 1048576;
  if (::setsockopt(logSocket, SOL_SOCKET, SO_SNDBUF, &sendBufferSize, sizeof sendBufferSize) != 0) {
    syslog(4, "unable to increase sendbuffer size for logsocket - errno=%s", std::strerror(errno));
  }
  return addFd(logSocket);
}

int CLogtargetRemote::createCmdPipe() {
  int ends[2];
  if (::pipe(ends) != 0) return -1;  // both members stay -1
  cmdPipeReadFd = ends[0];
  cmdPipeWriteFd = ends[1];
  cmdPipeWatched = addFd(cmdPipeReadFd) == 0;
  return 0;
}

std::string CLogtargetRemote::getName() { return "Remote_Target_1.0, but you can call me Al."; }

int CLogtargetRemote::getType() { return 2; }

void CLogtargetRemote::onComponentAdded(tarvin_component* /*component*/) {}

void CLogtargetRemote::addStartupClient(const sockaddr_storage& /*address*/) {}
