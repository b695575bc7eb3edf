// tools/remote/stop_signal.cpp
//
// The stop flag and its wake-up pipe. The pipe is non-blocking on both
// ends: a handler never blocks on a full pipe (a full pipe already wakes
// every wait), and clearStop() reads it empty without blocking.
//
// Threads: single-threaded tool; the handler touches only gStop and the
// pipe's write end.
#include "remote/stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "remote/tool_error.h"

namespace remote {
namespace {

// Set by the handler, read and cleared by the loops.
volatile std::sig_atomic_t gStop = 0;
// Both ends stay open for the life of the process: the handler may fire at
// any time.
int gWakePipe[2] = {-1, -1};

void onStopSignal(int) {
  gStop = 1;
  const int saved = errno;  // the interrupted code may be about to read errno
  const char byte = 's';
  [[maybe_unused]] const ssize_t ignored = ::write(gWakePipe[1], &byte, 1);  // full: wakes already
  errno = saved;
}

}  // namespace

void installStopHandlers() {
  if (gWakePipe[0] >= 0) return;
  if (::pipe2(gWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw ToolError{kExitNoAnswer, std::string("cannot create stop pipe: ") + std::strerror(errno)};
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

bool stopRequested() { return gStop != 0; }

void clearStop() {
  // The flag first: a signal that lands while the pipe is emptied is then
  // still seen by the next check, even though its byte may be gone.
  gStop = 0;
  char bytes[16];
  while (gWakePipe[0] >= 0 && ::read(gWakePipe[0], bytes, sizeof bytes) > 0) {
  }
}

int stopWakeFd() { return gWakePipe[0]; }

}  // namespace remote
