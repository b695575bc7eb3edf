// tools/web/level_control.h
//
// Level control for the web console: reads a target's level descriptions
// and sets a component's mask, on a session of its own (the follower's
// socket belongs to the follower thread), and keeps every temporary change
// ("for 5m") among the running changes of every process
// (running_changes.h). Each such change ends when its time is up (by a
// thread of its own) or, at the latest, when the console stops
// (restoreAll()), and then puts back only the levels it moved that no other
// running change holds and nobody changed since (temporary_change.h). A
// second change to the same component takes the first one over, so the
// console shows one restore per component; a permanent change takes the
// levels it names out of the pending restores. Every change and every
// restore goes to the audit hook, with who asked and why.
//
// Threads: describe() and change() are called from HTTP threads, the
// restore thread runs inside, restoreAll() from the main thread at the end.
// One mutex serialises every request on the session.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "client/running_changes.h"
#include "client/session.h"
#include "codec/client_codec.h"
#include "model/levels.h"
#include "store/audit.h"

namespace web {

struct LevelResult {
  std::string target, component;
  codec::LevelDescriptions before;          // descriptions and the mask before the change
  std::uint32_t clientMask = 0;             // what the target reports holding now
  std::uint32_t asked = 0;                  // what was sent
  std::optional<std::int64_t> restoreAtMs;  // epoch ms, for a temporary change
  std::optional<std::uint32_t> restoreMask;
};

struct PendingRestore {
  remote::Endpoint endpoint;
  remote::TemporaryChange running;  // as it started; the state file has the latest
  remote::Levels levels;
  std::uint32_t previousMask = 0;  // the mask it puts back if nobody else changes it
  std::chrono::steady_clock::time_point due;
  std::int64_t dueEpochMs = 0;
  std::string by;  // who made the change, for the restore's audit row
};

// Takes each audit row (its application left empty) under the control's
// mutex, from an HTTP thread or the restore thread.
using AuditHook = std::function<void(const store::AuditRow&)>;

class LevelControl {
 public:
  explicit LevelControl(const remote::RetryPolicy& retry, AuditHook audit = {});
  ~LevelControl();  // stops the restore thread; restoreAll() first

  // Throws remote::ToolError when the target does not answer.
  codec::LevelDescriptions describe(const remote::Endpoint& endpoint, const std::string& component);
  // Applies `change` (set-level syntax) to the component's current mask.
  // Throws remote::ToolError: kExitUsage for a change that does not parse.
  LevelResult change(const std::string& label, const remote::Endpoint& endpoint,
                     const std::string& component, const std::string& change,
                     std::optional<std::chrono::milliseconds> temporaryFor,
                     const std::string& by = "");
  std::optional<PendingRestore> pending(const std::string& label, const std::string& component);

  // Puts back every pending change now; main thread, after the stop.
  void restoreAll();

 private:
  using Key = std::pair<std::string, std::string>;  // target label, component
  void restoreDue();
  void restore(const Key& key, const PendingRestore& p, const char* why);
  void write(const std::string& label, const std::string& component, std::uint32_t before,
             std::uint32_t after, const remote::Levels& levels, const std::string& by,
             const char* why);

  const AuditHook audit;
  std::mutex mutex;
  std::condition_variable wake;
  remote::Session session;                 // guarded by mutex
  remote::RunningChanges running;          // guarded by mutex
  std::map<Key, PendingRestore> restores;  // guarded by mutex
  bool stopping = false;                   // guarded by mutex
  std::thread restorer;                    // last: started once the rest is built
};

}  // namespace web
