// tools/web/level_control.cpp
//
// Level changes and their restores on the console's own session.
//
// Threads: see level_control.h. The mutex is held across a request (at most
// timeout x retries): the session's socket answers one request at a time.
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

LevelControl::LevelControl(const remote::RetryPolicy& retry, AuditHook audit)
    : audit(std::move(audit)), session(retry), restorer([this] { restoreDue(); }) {}

// Caller holds the mutex.
void LevelControl::write(const std::string& label, const std::string& component,
                         std::uint32_t before, std::uint32_t after, const remote::Levels& levels,
                         const std::string& by, const char* why) {
  if (audit) audit(remote::auditRow(label, "", component, before, after, levels, by, why));
}

LevelControl::~LevelControl() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  restorer.join();
}

codec::LevelDescriptions LevelControl::describe(const remote::Endpoint& endpoint,
                                                const std::string& component) {
  std::lock_guard lock(mutex);
  return remote::fetchLevelDescriptions(session, endpoint, component);
}

LevelResult LevelControl::change(const std::string& label, const remote::Endpoint& endpoint,
                                 const std::string& component, const std::string& changeText,
                                 std::optional<std::chrono::milliseconds> temporaryFor,
                                 const std::string& by) {
  LevelResult result;
  result.target = label;
  result.component = component;
  {
    std::lock_guard lock(mutex);
    const Key key{label, component};
    running.edit([&](std::vector<remote::TemporaryChange>& list) {
      result.before = remote::fetchLevelDescriptions(session, endpoint, component);
      const auto& levels = result.before.levels;
      const auto wanted = remote::parseLevelChange(changeText, result.before.clientMask, levels);
      if (!wanted) throw remote::ToolError{remote::kExitUsage, wanted.error()};
      const std::uint32_t named =
          remote::bitsNamed(*remote::parseLevelChange(changeText, 0, levels),
                            *remote::parseLevelChange(changeText, ~0u, levels));
      remote::TemporaryChange mine{running.newId(), codec::uuidToHex(result.before.uuid),
                                   component};
      const auto now = std::chrono::system_clock::now();
      if (temporaryFor) {
        mine.until = std::chrono::duration_cast<std::chrono::seconds>(
                         (now + *temporaryFor).time_since_epoch())
                         .count();
        mine = remote::startTemporaryChange(list, mine, result.before.clientMask, *wanted, named);
      }
      result.asked = *wanted;
      result.clientMask = remote::setLevelMask(session, endpoint, component, *wanted).clientMask;
      write(label, component, result.before.clientMask, result.clientMask, levels, by,
            store::kAuditManual);

      // This console's earlier change of the component, as the running
      // changes hold it now.
      const auto earlier = restores.find(key);
      auto held = list.end();
      if (earlier != restores.end()) {
        held = std::find_if(list.begin(), list.end(), [&](const remote::TemporaryChange& r) {
          return r.id == earlier->second.running.id;
        });
      }
      if (!temporaryFor) {
        remote::releaseBits(list, mine, named);  // made for good: not to be put back
        if (held == list.end()) return;
        if (held->claimed == 0) {
          list.erase(held);
          restores.erase(earlier);
        } else {
          earlier->second.previousMask = (result.clientMask & ~held->claimed) | held->restore;
        }
        return;
      }
      if (held != list.end()) {
        if (held->sameComponent(mine)) remote::takeOver(mine, *held);
        list.erase(held);
      }
      list.push_back(mine);
      PendingRestore& p = restores[key];
      p.endpoint = endpoint;
      p.running = mine;
      p.levels = levels;
      p.previousMask = (*wanted & ~mine.claimed) | mine.restore;
      p.due = std::chrono::steady_clock::now() + *temporaryFor;
      p.dueEpochMs = epochMs(now + *temporaryFor);
      p.by = by;
      result.restoreAtMs = p.dueEpochMs;
      result.restoreMask = p.previousMask;
    });
  }
  wake.notify_all();
  return result;
}

std::optional<PendingRestore> LevelControl::pending(const std::string& label,
                                                    const std::string& component) {
  std::lock_guard lock(mutex);
  auto it = restores.find({label, component});
  if (it == restores.end()) return std::nullopt;
  return it->second;
}

// Caller holds the mutex. A target that does not answer keeps its change:
// said on stderr, since nobody else will put it back.
void LevelControl::restore(const Key& key, const PendingRestore& p, const char* why) {
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
        return;
      }
      const remote::Restore plan = remote::planRestore(list, ending, now.clientMask);
      const auto info = remote::setLevelMask(session, p.endpoint, key.second, plan.mask);
      write(key.first, key.second, now.clientMask, info.clientMask, p.levels, p.by, why);
      remote::note("restored " + key.second + " on " + key.first + ": " +
                   remote::maskHex(info.clientMask));
      for (const std::string& text : remote::leftAlone(plan, p.levels))
        remote::note("note: " + key.first + " " + key.second + ": " + text);
    });
  } catch (const remote::ToolError& error) {
    remote::note("warning: cannot restore " + key.second + " on " + key.first + " to " +
                 remote::maskHex(p.previousMask) + ": " + error.message);
  }
}

void LevelControl::restoreDue() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    auto next = std::chrono::steady_clock::now() + std::chrono::hours(1);
    for (const auto& [key, p] : restores) next = std::min(next, p.due);
    wake.wait_until(lock, next);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = restores.begin(); it != restores.end();) {
      if (it->second.due > now || stopping || remote::stopRequested()) {
        ++it;
        continue;
      }
      restore(it->first, it->second, store::kAuditExpired);
      it = restores.erase(it);
    }
  }
}

void LevelControl::restoreAll() {
  std::lock_guard lock(mutex);
  for (const auto& [key, p] : restores) restore(key, p, store::kAuditRestoreOnExit);
  restores.clear();
}

}  // namespace web
