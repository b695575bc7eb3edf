// tools/base/stop_signal.cpp
//
// The stop flag, its wake-up pipe and the output timer. The pipe is
// non-blocking on both ends: a handler never blocks on a full pipe (a full
// pipe already wakes every wait), and clearStop() reads it empty without
// blocking. The handlers are installed without SA_RESTART, so that the
// timer's signal interrupts a blocked write().
//
// Threads: single-threaded tool; the handlers touch only gStop,
// gOutputAbandoned, the pipe's write end and the timer (timer_settime() is
// async-signal-safe).
#include "base/stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include "base/tool_error.h"

namespace remote {
namespace {

// Set by the handlers, read and cleared by the loops.
volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gOutputAbandoned = 0;
volatile std::sig_atomic_t gOutputGuarded = 0;  // gOutputTimer exists
volatile std::sig_atomic_t gReload = 0;         // SIGHUP, where it asks for a reload
// Both ends stay open for the life of the process: the handler may fire at
// any time.
int gWakePipe[2] = {-1, -1};
// Fires kOutputGrace after the first stop, then every kOutputRepeatNs.
timer_t gOutputTimer{};

constexpr long kOutputRepeatNs = 200'000'000;

void armOutputTimer(bool on) {
  itimerspec when{};
  if (on) {
    when.it_value.tv_sec = kOutputGrace.count() / 1000;
    when.it_value.tv_nsec = kOutputGrace.count() % 1000 * 1'000'000;
    when.it_interval.tv_nsec = kOutputRepeatNs;
  }
  ::timer_settime(gOutputTimer, /*flags=*/0, &when, /*old_value=*/nullptr);
}

void onStopSignal(int) {
  const int saved = errno;  // the interrupted code may be about to read errno
  if (gStop == 0 && gOutputGuarded != 0) armOutputTimer(true);
  gStop = 1;
  const char byte = 's';
  [[maybe_unused]] const ssize_t ignored = ::write(gWakePipe[1], &byte, 1);  // full: wakes already
  errno = saved;
}

void onReloadSignal(int) {
  const int saved = errno;
  gReload = 1;
  const char byte = 'r';
  [[maybe_unused]] const ssize_t ignored = ::write(gWakePipe[1], &byte, 1);
  errno = saved;
}

// Its work is done by arriving: the write() it interrupts returns.
void onOutputTimer(int) { gOutputAbandoned = 1; }

}  // namespace

void installStopHandlers() {
  if (gWakePipe[0] >= 0) return;
  if (::pipe2(gWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw ToolError{ErrorKind::kLocal,
                    std::string("cannot create stop pipe: ") + std::strerror(errno)};
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

bool stopRequested() { return gStop != 0; }

void reloadOnHangup() {
  installStopHandlers();
  struct sigaction action {};
  action.sa_handler = onReloadSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGHUP, &action, nullptr);
}

bool takeReloadRequest() {
  if (gReload == 0) return false;
  gReload = 0;
  return true;
}

void clearStop() {
  // With the signals held back, so that a stop that comes meanwhile is
  // seen whole afterwards: its flag, its byte and its timer.
  sigset_t held, before;
  ::sigemptyset(&held);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) ::sigaddset(&held, signal);
  ::sigprocmask(SIG_BLOCK, &held, &before);
  if (gOutputGuarded != 0) armOutputTimer(false);
  gStop = 0;
  gOutputAbandoned = 0;
  char bytes[16];
  while (gWakePipe[0] >= 0 && ::read(gWakePipe[0], bytes, sizeof bytes) > 0) {
  }
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

int stopWakeFd() { return gWakePipe[0]; }

bool outputAbandoned() { return gOutputAbandoned != 0; }

void guardOutputOnStop() {
  installStopHandlers();
  if (gOutputGuarded != 0) return;
  sigevent expiry{};
  expiry.sigev_notify = SIGEV_SIGNAL;
  expiry.sigev_signo = SIGALRM;
  if (::timer_create(CLOCK_MONOTONIC, &expiry, &gOutputTimer) != 0) {
    throw ToolError{ErrorKind::kLocal, std::string("cannot create timer: ") + std::strerror(errno)};
  }
  struct sigaction action {};
  action.sa_handler = onOutputTimer;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  gOutputGuarded = 1;
  if (gStop != 0) armOutputTimer(true);  // a stop that came first (the handler may arm it too)
}

}  // namespace remote
