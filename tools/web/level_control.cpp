// tools/web/level_control.cpp
//
// Level changes and their restores on the console's own session.
//
// Threads: see level_control.h. The mutex is held across a request (at most
// timeout x retries): the session's socket answers one request at a time.
#include "web/level_control.h"

#include "remote/level_requests.h"
#include "remote/levels.h"
#include "remote/note.h"
#include "remote/stop_signal.h"
#include "remote/tool_error.h"

namespace web {

namespace {
std::int64_t epochMs(std::chrono::system_clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}
}  // namespace

LevelControl::LevelControl(const remote::RetryPolicy& retry)
    : session(retry), restorer([this] { restoreDue(); }) {}

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
                                 std::optional<std::chrono::milliseconds> temporaryFor) {
  LevelResult result;
  result.target = label;
  result.component = component;
  {
    std::lock_guard lock(mutex);
    result.before = remote::fetchLevelDescriptions(session, endpoint, component);
    const auto wanted =
        remote::parseLevelChange(changeText, result.before.clientMask, result.before.levels);
    if (!wanted) throw remote::ToolError{remote::kExitUsage, wanted.error()};
    result.asked = *wanted;
    result.clientMask = remote::setLevelMask(session, endpoint, component, *wanted).clientMask;
    const Key key{label, component};
    if (!temporaryFor) {
      restores.erase(key);  // made for good: nothing to put back
      return result;
    }
    auto [it, fresh] = restores.try_emplace(key);
    if (fresh) it->second.previousMask = result.before.clientMask;
    it->second.endpoint = endpoint;
    it->second.due = std::chrono::steady_clock::now() + *temporaryFor;
    it->second.dueEpochMs = epochMs(std::chrono::system_clock::now() + *temporaryFor);
    result.restoreAtMs = it->second.dueEpochMs;
    result.restoreMask = it->second.previousMask;
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
void LevelControl::restore(const Key& key, const PendingRestore& p) {
  try {
    const auto info = remote::setLevelMask(session, p.endpoint, key.second, p.previousMask);
    remote::note("restored " + key.second + " on " + key.first + ": " +
                 remote::maskHex(info.clientMask));
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
      restore(it->first, it->second);
      it = restores.erase(it);
    }
  }
}

void LevelControl::restoreAll() {
  std::lock_guard lock(mutex);
  for (const auto& [key, p] : restores) restore(key, p);
  restores.clear();
}

}  // namespace web
