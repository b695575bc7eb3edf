// tools/base/state_file.h
//
// tarvin-remote's files kept across runs, in $XDG_STATE_HOME/tarvin-remote
// (default ~/.local/state), such as the masks set-level --reset puts
// back. Each edit reads the whole file under an exclusive flock and puts
// the new lines in place (a file renamed over the old one) before letting
// go, so runs side by side (scripts, the web console) keep every line, and
// a reader that takes no lock, or a crash, never meets a file half written.
//
// Threads: any thread; each edit locks a descriptor of its own, so edits
// on several threads wait for each other as those of processes do.
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

// The path of `name` in the state directory (made when missing), as the
// default of a file option. Throws ToolError (usage) when neither
// XDG_STATE_HOME nor HOME names a directory.
std::string statePath(const std::string& name);

// The store --db names, or the default one when it is left out. Throws
// ToolError (usage) for a directory, which SQLite would only call "unable
// to open".
std::string storePath(const std::string& given);

// The record store record and query use when --db is left out.
inline constexpr const char* kDefaultStoreName = "logs.db";
inline constexpr const char* kDefaultStoreHelp =
    "$XDG_STATE_HOME/tarvin-remote/logs.db (~/.local/state/tarvin-remote/logs.db)";

}  // namespace remote
