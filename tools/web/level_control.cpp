// tools/web/level_control.cpp
//
// Level changes and their restores on the console's own session.
//
// Threads: see level_control.h. A change or a restore holds the mutex across
// its exchanges (at most timeout x retries each), once its target has
// answered outside it; describe() holds nothing.
#include "web/level_control.h"

#include <algorithm>

#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "client/level_requests.h"
#include "model/levels.h"
#include "model/temporary_change.h"
#include "recorder/audit_trail.h"

namespace web {

namespace {
std::int64_t epochMs(std::chrono::system_clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}
}  // namespace

LevelControl::LevelControl(const remote::RetryPolicy& retry, AuditHook audit,
                           NotRestoredHook notRestored)
    : retry(retry),
      audit(std::move(audit)),
      notRestored(std::move(notRestored)),
      restorer([this] { restoreDue(); }) {}

void LevelControl::write(remote::SystemClock::time_point at, const std::string& label,
                         const std::string& component, std::uint32_t before, std::uint32_t after,
                         const remote::Levels& levels, const std::string& by,
                         const std::string& why) {
  if (!audit) return;
  store::AuditRow row = remote::auditRow(label, "", component, before, after, levels, by, why);
  row.at = at;
  audit(row);
}

LevelControl::~LevelControl() {
  {
    MutexLock lock(mutex);
    stopping = true;
  }
  wake.notifyAll();
  restorer.join();
}

codec::LevelDescriptions LevelControl::describe(const remote::Endpoint& endpoint,
                                                const std::string& component) {
  remote::Session session(retry);
  return remote::fetchLevelDescriptions(session, endpoint, component);
}

LevelResult LevelControl::change(const std::string& label, const remote::Endpoint& endpoint,
                                 const std::string& component, const std::string& changeText,
                                 std::optional<std::chrono::milliseconds> temporaryFor,
                                 const std::string& by) {
  LevelResult result;
  result.target = label;
  result.component = component;
  if (const auto silent = unanswered(endpoint, component))
    throw remote::ToolError{remote::ErrorKind::kNoAnswer, *silent};
  remote::Session session(retry);
  {
    MutexLock lock(mutex);
    const Key key{label, component};
    // This console's earlier change of the component, which this one
    // takes over or ends.
    const auto earlier = restores.find(key);
    const std::optional<std::string> earlierId =
        earlier == restores.end() ? std::nullopt : std::optional(earlier->second.running.id);
    remote::TemporaryChange mine{running.newId(), "", component};
    // What the edit leaves for this console's restores, applied once the
    // running changes are written: the earlier change ended, or still
    // holding bits and then putting back `earlierPrevious`.
    bool endEarlier = false;
    std::optional<std::uint32_t> earlierPrevious;
    std::uint32_t wanted = 0;
    bool made = false;  // the target took the change: a row of the audit trail
    const auto now = std::chrono::system_clock::now();
    remote::SystemClock::time_point asked;  // when the set request went out
    // Reads and writes only this call's own values: the lambda runs
    // inside edit(), where the analysis cannot see the mutex held.
    running.edit([&](std::vector<remote::TemporaryChange>& list) {
      result.before = remote::fetchLevelDescriptions(session, endpoint, component);
      const auto& levels = result.before.levels;
      const auto parsed = remote::parseLevelChange(changeText, result.before.clientMask, levels);
      if (!parsed) throw remote::ToolError{remote::ErrorKind::kBadInput, parsed.error()};
      wanted = *parsed;
      const std::uint32_t named =
          remote::bitsNamed(*remote::parseLevelChange(changeText, 0, levels),
                            *remote::parseLevelChange(changeText, ~0u, levels));
      mine.uuid = codec::uuidToHex(result.before.uuid);
      if (temporaryFor) {
        mine.until = std::chrono::duration_cast<std::chrono::seconds>(
                         (now + *temporaryFor).time_since_epoch())
                         .count();
        mine = remote::startTemporaryChange(list, mine, result.before.clientMask, wanted, named);
      }
      result.asked = wanted;
      asked = remote::SystemClock::now();
      result.clientMask = remote::setLevelMask(session, endpoint, component, wanted).clientMask;
      made = true;

      // The earlier change as the running changes hold it now.
      auto held = list.end();
      if (earlierId) {
        held = std::find_if(list.begin(), list.end(),
                            [&](const remote::TemporaryChange& r) { return r.id == *earlierId; });
      }
      if (!temporaryFor) {
        remote::releaseBits(list, mine, named);  // made for good: not to be put back
        if (held == list.end()) return;
        if (held->claimed == 0) {
          list.erase(held);
          endEarlier = true;
        } else {
          earlierPrevious = (result.clientMask & ~held->claimed) | held->restore;
        }
        return;
      }
      if (held != list.end()) {
        if (held->sameComponent(mine)) remote::takeOver(mine, *held);
        list.erase(held);
      }
      list.push_back(mine);
    });
    if (made) {
      write(asked, label, component, result.before.clientMask, result.clientMask,
            result.before.levels, by, store::kAuditManual);
    }
    if (!temporaryFor) {
      if (endEarlier) restores.erase(key);
      if (earlierPrevious) {
        restores[key].previousMask = *earlierPrevious;
        restores[key].heldMask = result.clientMask;
      }
    } else {
      PendingRestore& p = restores[key];
      p.endpoint = endpoint;
      p.running = mine;
      p.levels = result.before.levels;
      p.previousMask = (wanted & ~mine.claimed) | mine.restore;
      p.heldMask = result.clientMask;
      p.due = std::chrono::steady_clock::now() + *temporaryFor;
      p.dueEpochMs = epochMs(now + *temporaryFor);
      p.by = by;
      result.restoreAtMs = p.dueEpochMs;
      result.restoreMask = p.previousMask;
    }
  }
  wake.notifyAll();
  return result;
}

std::optional<PendingRestore> LevelControl::pending(const std::string& label,
                                                    const std::string& component) {
  MutexLock lock(mutex);
  auto it = restores.find({label, component});
  if (it == restores.end()) return std::nullopt;
  return it->second;
}

// Caller holds the mutex. A target that does not answer keeps its change:
// said on stderr, since nobody else will put it back, and written down as
// a failed restore.
bool LevelControl::restore(const Key& key, const PendingRestore& p, const char* why) {
  remote::Session session(retry);
  // What the target holds and what it was to get back, as far as the
  // exchange got; the row is written after the edit, where the analysis
  // sees the mutex held.
  std::uint32_t held = p.heldMask;
  std::uint32_t meant = p.previousMask;
  bool restored = false;
  remote::SystemClock::time_point asked = remote::SystemClock::now();
  try {
    running.edit([&](std::vector<remote::TemporaryChange>& list) {
      remote::TemporaryChange ending = p.running;
      const auto mine =
          std::find_if(list.begin(), list.end(),
                       [&](const remote::TemporaryChange& r) { return r.id == ending.id; });
      if (mine != list.end()) {
        ending = *mine;
        list.erase(mine);
      }
      const auto now = remote::fetchLevelDescriptions(session, p.endpoint, key.second);
      if (codec::uuidToHex(now.uuid) != ending.uuid) {
        remote::note("note: " + key.first + " restarted: its " + key.second +
                     " starts from its own mask, nothing to restore");
        held = meant = now.clientMask;
        return;
      }
      held = now.clientMask;
      const remote::Restore plan = remote::planRestore(list, ending, now.clientMask);
      meant = plan.mask;
      asked = remote::SystemClock::now();
      const auto info = remote::setLevelMask(session, p.endpoint, key.second, plan.mask);
      restored = true;
      meant = info.clientMask;
      remote::note("restored " + key.second + " on " + key.first + ": " +
                   remote::maskHex(info.clientMask));
      for (const std::string& text : remote::leftAlone(plan, p.levels))
        remote::note("note: " + key.first + " " + key.second + ": " + text);
    });
  } catch (const remote::ToolError& error) {
    failed(key, p, why, held, meant, asked, error.message);
    return false;
  }
  if (restored) write(asked, key.first, key.second, held, meant, p.levels, p.by, why);
  return true;
}

void LevelControl::failed(const Key& key, const PendingRestore& p, const char* why,
                          std::uint32_t held, std::uint32_t meant,
                          remote::SystemClock::time_point asked, const std::string& message) {
  remote::note("warning: cannot restore " + key.second + " on " + key.first + " to " +
               remote::maskHex(meant) + ": " + message);
  write(asked, key.first, key.second, held, meant, p.levels, p.by, std::string(why) + kFailedMark);
  if (notRestored) notRestored(key.first, key.second);
}

std::optional<std::string> LevelControl::unanswered(const remote::Endpoint& endpoint,
                                                    const std::string& component) {
  try {
    remote::Session session(retry);
    remote::fetchLevelDescriptions(session, endpoint, component);
  } catch (const remote::ToolError& error) {
    if (error.kind == remote::ErrorKind::kNoAnswer) return error.message;
  }
  return std::nullopt;  // it answers; what else it says, the exchange says again
}

// The restores that are due, each asked first without the mutex whether
// its target answers at all; once a stop is asked for, they are left to
// restoreAll().
void LevelControl::restoreDue() {
  for (;;) {
    std::vector<std::pair<Key, PendingRestore>> due;
    {
      MutexLock lock(mutex);
      if (stopping) return;
      auto next = std::chrono::steady_clock::now() + std::chrono::hours(1);
      if (!remote::stopRequested()) {
        for (const auto& [key, p] : restores) next = std::min(next, p.due);
      }
      wake.waitUntil(mutex, next);
      if (stopping) return;
      const auto now = std::chrono::steady_clock::now();
      if (remote::stopRequested()) continue;
      for (const auto& [key, p] : restores) {
        if (p.due <= now) due.emplace_back(key, p);
      }
    }
    for (const auto& [key, p] : due) {
      const std::optional<std::string> silent = unanswered(p.endpoint, key.second);
      MutexLock lock(mutex);
      const auto it = restores.find(key);
      // Taken over by a later change, or ended by a permanent one, meanwhile.
      if (it == restores.end() || it->second.running.id != p.running.id) continue;
      if (stopping || remote::stopRequested()) break;
      if (silent) {
        failed(key, it->second, store::kAuditExpired, it->second.heldMask, it->second.previousMask,
               remote::SystemClock::now(), *silent);
      } else {
        restore(key, it->second, store::kAuditExpired);
      }
      restores.erase(it);
    }
  }
}

int LevelControl::restoreAll() {
  MutexLock lock(mutex);
  int failed = 0;
  for (const auto& [key, p] : restores) {
    if (!restore(key, p, store::kAuditRestoreOnExit)) ++failed;
  }
  restores.clear();
  return failed;
}

}  // namespace web
