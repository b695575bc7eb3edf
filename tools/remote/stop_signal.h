// tools/remote/stop_signal.h
//
// The stop request of tarvin-remote. SIGINT, SIGTERM and SIGHUP (a dropped
// SSH session) set a flag that the loops read between waits: that flag is
// the state, so every command ends its own way (unregistering, restoring a
// level) whichever of them came. A flag cannot wake a
// poll() that is already blocked, or about to block when the signal lands
// between the check and the call, so the handler also writes a byte into a
// pipe that every wait polls; the byte only wakes, it means nothing.
//
// Threads: the tool is single-threaded; the handler touches only the flag
// and the pipe's write end.
#pragma once

namespace remote {

// Installs the handlers of SIGINT, SIGTERM and SIGHUP; later calls do
// nothing.
// Throws ToolError when the wake-up pipe cannot be made.
void installStopHandlers();

// Whether a stop was requested since the start or the last clearStop().
bool stopRequested();

// Forgets the stops seen so far, for work that must still be done after one
// (restoring a level); a further signal stops that work too.
void clearStop();

// Readable once a signal came (until clearStop()): poll it beside the
// descriptors a wait is for, then read stopRequested(). -1 before
// installStopHandlers().
int stopWakeFd();

}  // namespace remote
