// tools/base/stop_signal.h
//
// The stop request of tarvin-remote. SIGINT, SIGTERM and SIGHUP (a dropped
// SSH session) set a flag that the loops read between waits: that flag is
// the state, so every command ends its own way (unregistering, restoring a
// level) whichever of them came. A flag cannot wake a
// poll() that is already blocked, or about to block when the signal lands
// between the check and the call, so the handler also writes a byte into a
// pipe that every wait polls; the byte only wakes, it means nothing.
//
// Output is the one wait no pipe can wake: a write() to a standard output
// whose reader stopped reading blocks in the kernel. So a stop also gives
// the output a short grace (kOutputGrace) to take what is still to be
// shown; after it outputAbandoned() holds, and a timer signal (SIGALRM)
// interrupts every 200 ms a write that blocks, so that no writer is stuck
// even when it blocked just after it last looked at the flag. Only a
// command that writes such output asks for that (guardOutputOnStop()): the
// others' threads never see the timer's signal.
//
// Threads: the tool is single-threaded; the handlers touch only the flags,
// the pipe's write end and the timer.
#pragma once

#include <chrono>

namespace remote {

// How long output may still block after a stop before what it has not
// taken is given up (and counted by the writer).
inline constexpr std::chrono::milliseconds kOutputGrace{500};

// Installs the handlers of SIGINT, SIGTERM and SIGHUP; later calls do
// nothing. Each command that wants them calls it (making a Session does
// not), before its first wait.
// Throws ToolError when the wake-up pipe cannot be made.
void installStopHandlers();

// Whether a stop was requested since the start or the last clearStop().
bool stopRequested();

// For a command that keeps running with a configuration file: SIGHUP asks
// it to read the file again instead of stopping it (and installs the stop
// handlers for SIGINT and SIGTERM). takeReloadRequest() says whether one
// came since it last asked.
void reloadOnHangup();
bool takeReloadRequest();

// Forgets the stops seen so far, for work that must still be done after one
// (restoring a level); a further signal stops that work too.
void clearStop();

// Whether kOutputGrace has passed since a stop: a writer then gives up
// output that does not go out at once, rather than keep the command from
// ending. A write() that blocks meanwhile fails with EINTR or writes less.
bool outputAbandoned();

// Makes a stop give up blocked output after kOutputGrace (and installs the
// stop handlers); later calls do nothing. Throws ToolError when the timer
// cannot be made.
void guardOutputOnStop();

// Readable once a signal came (until clearStop()): poll it beside the
// descriptors a wait is for, then read stopRequested(). -1 before
// installStopHandlers().
int stopWakeFd();

}  // namespace remote
