// tools/client/running_changes.cpp
//
// The running changes read from and written to their state file, without
// those of processes that are gone.
//
// Threads: see running_changes.h.
#include "client/running_changes.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/note.h"
#include "base/state_file.h"
#include "base/tool_error.h"

namespace remote {
namespace {

constexpr const char* kFile = "running-changes";

// Whether the process that started `change` still runs: after kill -9
// nobody ends its change, and it must not hold bits for good.
bool processRuns(const TemporaryChange& change) {
  const long pid = std::strtol(change.id.c_str(), nullptr, 10);
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

std::string RunningChanges::newId() {
  return std::to_string(::getpid()) + "." + std::to_string(next++);
}

void RunningChanges::edit(const std::function<void(std::vector<TemporaryChange>&)>& edit) {
  bool edited = false;
  try {
    editStateFile(kFile, [&](std::vector<std::string>& lines) {
      std::vector<TemporaryChange> running;
      for (const std::string& line : lines) {
        const auto change = parseTemporaryChange(line);
        if (change && processRuns(*change)) running.push_back(*change);
      }
      edited = true;
      edit(running);
      lines.clear();
      for (const TemporaryChange& change : running) lines.push_back(temporaryChangeLine(change));
      return true;
    });
  } catch (const ToolError& error) {
    if (edited) throw;  // from `edit` itself, or the write after it: the caller's to say
    if (!warned) {
      note("warning: " + error.message +
           " (temporary changes of other runs are not known: a restore puts back only its own)");
      warned = true;
    }
    edit(own);
  }
}

}  // namespace remote
