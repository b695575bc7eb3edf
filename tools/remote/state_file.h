// tools/remote/state_file.h
//
// tarvin-remote's files kept across runs, in $XDG_STATE_HOME/tarvin-remote
// (default ~/.local/state), such as the masks set-level --reset puts
// back. Each edit reads the whole file under an exclusive flock and writes
// it back before letting go, so runs side by side (scripts, the web
// console) keep every line.
//
// Threads: one edit at a time per process; the web console's callers hold
// their own mutex around it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace remote {

// Runs `change` on the lines of the state file `name`, made when missing;
// when it returns true, the lines are written back. Throws ToolError (exit
// 1) when there is no state directory or the file cannot be opened,
// locked, read or written: a caller that cannot do without the file says
// so, one that can catches it and warns.
void editStateFile(const std::string& name,
                   const std::function<bool(std::vector<std::string>&)>& change);

}  // namespace remote
