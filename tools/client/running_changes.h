// tools/client/running_changes.h
//
// The temporary level changes that are running now, in every tarvin-remote
// process of this user (set-level --for, the web console), kept in the
// state file "running-changes" (state_file.h): each process sees what the
// others hold before it starts or ends one of its own (temporary_change.h).
// A change whose process is gone (kill -9) is dropped on the next read.
// When the file cannot be used, a process says so once and goes on with
// its own changes only.
//
// Threads: one edit at a time per object; the web console's callers hold
// their own mutex around it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "model/temporary_change.h"

namespace remote {

class RunningChanges {
 public:
  // A new change's id, unique among every process's running changes.
  std::string newId();

  // Runs `edit` on the running changes, oldest first, under the file's
  // lock (held across the requests `edit` makes, so that no other
  // process starts or ends a change of the same component meanwhile),
  // then keeps what it left. An exception from `edit` keeps nothing.
  void edit(const std::function<void(std::vector<TemporaryChange>&)>& edit);

 private:
  std::vector<TemporaryChange> own;  // the file's stand-in when it cannot be used
  bool warned = false;
  unsigned next = 0;
};

}  // namespace remote
