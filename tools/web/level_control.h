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
// restore goes to the audit hook, with who asked and why, dated when the
// request went out (so that every record logged under the new levels is
// received after it); a restore the target did not take goes to the audit
// hook too, its reason marked failed (kFailedMark), and to the
// not-restored hook, so that an alert can say what stderr alone would
// leave unseen.
//
// Each request/answer exchange runs on a Session of its own, made for it
// and closed after it: a Session is single-threaded, and its socket takes
// every answer that comes to it, so two HTTP threads sharing one would
// read each other's answers, or each wait for the other's slow target.
// With a socket per exchange, an answer only ever reaches the request that
// asked for it, and a target that does not answer delays only the
// requests made to it.
//
// Threads: describe() and change() are called from HTTP threads, the
// restore thread runs inside, restoreAll() from the main thread at the end.
// describe() shares nothing. The mutex guards the running changes and the
// pending restores, and is held across a change or a restore, network
// exchange included: each reads the levels, decides from the running
// changes and writes them back as one step, which a second change of the
// same component must not interleave with. So that a target that does not
// answer holds up nobody else's level calls, each change and each restore
// the restore thread makes first asks its target, without the mutex,
// whether it answers at all; one that does not fails there. A target that
// answers slowly still holds the mutex for its exchange, and a lock per
// target would not let the others past: the running changes' file lock,
// shared by every process of the user, is held across the same exchange
// (running_changes.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/clocks.h"
#include "client/running_changes.h"
#include "client/session.h"
#include "codec/client_codec.h"
#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
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
  std::uint32_t heldMask = 0;      // what the target reported holding after the last change
  std::chrono::steady_clock::time_point due;
  std::int64_t dueEpochMs = 0;
  std::string by;  // who made the change, for the restore's audit row
};

// Appended to the reason of a restore the target did not take: "restore on
// exit, failed". Its row has the mask the target was last known to hold
// before, the one it was meant to get back after.
inline constexpr const char* kFailedMark = ", failed";

// Takes each audit row (its application left empty) under the control's
// mutex, from an HTTP thread or the restore thread.
using AuditHook = std::function<void(const store::AuditRow&)>;
// Takes the target label and component of a temporary change whose target
// did not take the restore (it keeps the changed levels), under the
// control's mutex, from the restore thread or the main thread at the end.
using NotRestoredHook = std::function<void(const std::string&, const std::string&)>;

class LevelControl {
 public:
  explicit LevelControl(const remote::RetryPolicy& retry, AuditHook audit = {},
                        NotRestoredHook notRestored = {});
  ~LevelControl();  // stops the restore thread; restoreAll() first

  // Throws remote::ToolError when the target does not answer.
  codec::LevelDescriptions describe(const remote::Endpoint& endpoint, const std::string& component)
      EXCLUDES(mutex);
  // Applies `change` (set-level syntax) to the component's current mask.
  // Throws remote::ToolError: kBadInput for a change that does not parse.
  LevelResult change(const std::string& label, const remote::Endpoint& endpoint,
                     const std::string& component, const std::string& change,
                     std::optional<std::chrono::milliseconds> temporaryFor,
                     const std::string& by = "") EXCLUDES(mutex);
  std::optional<PendingRestore> pending(const std::string& label, const std::string& component)
      EXCLUDES(mutex);

  // Puts back every pending change now; main thread, after the stop.
  // Returns how many the targets did not take (each said on stderr).
  int restoreAll() EXCLUDES(mutex);

 private:
  using Key = std::pair<std::string, std::string>;  // target label, component
  void restoreDue() EXCLUDES(mutex);
  // False when the target did not take it.
  bool restore(const Key& key, const PendingRestore& p, const char* why) REQUIRES(mutex);
  // A restore the target did not take: stderr, the audit trail, the hook.
  void failed(const Key& key, const PendingRestore& p, const char* why, std::uint32_t held,
              std::uint32_t meant, remote::SystemClock::time_point asked,
              const std::string& message) REQUIRES(mutex);
  // Why the target does not answer, asked on a session of its own without
  // any lock; nothing when it answers.
  std::optional<std::string> unanswered(const remote::Endpoint& endpoint,
                                        const std::string& component) EXCLUDES(mutex);
  // One row of the audit trail, through the hook; under the mutex, so the
  // hook's writes come one at a time.
  void write(remote::SystemClock::time_point at, const std::string& label,
             const std::string& component, std::uint32_t before, std::uint32_t after,
             const remote::Levels& levels, const std::string& by, const std::string& why)
      REQUIRES(mutex);

  const remote::RetryPolicy retry;  // of every exchange's session
  const AuditHook audit;
  const NotRestoredHook notRestored;
  Mutex mutex;
  CondVar wake;
  remote::RunningChanges running GUARDED_BY(mutex);
  std::map<Key, PendingRestore> restores GUARDED_BY(mutex);
  bool stopping GUARDED_BY(mutex) = false;
  std::thread restorer;  // last: started once the rest is built
};

}  // namespace web
