// tools/remote/policy_enforcer.cpp
//
// One round of a level policy over the targets, and the thread that runs
// rounds beside record and web. See policy_enforcer.h.
//
// Threads: see policy_enforcer.h.
#include "remote/policy_enforcer.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "base/visible_text.h"
#include "client/component_list.h"
#include "client/discovery_sweep.h"
#include "client/find_target.h"
#include "client/find_targets.h"
#include "client/level_requests.h"
#include "model/levels.h"
#include "output/level_output.h"

namespace remote {
namespace {

std::optional<std::int64_t> modifiedAt(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

std::string described(std::uint32_t mask, const Levels& levels) {
  return maskHex(mask) + " (" + visible(joinNames(levelNamesInMask(mask, levels))) + ")";
}

}  // namespace

PolicyEnforcer::PolicyEnforcer(const RetryPolicy& retry, EnforceSettings settings,
                               std::function<void(const std::string&)> say)
    : settings(std::move(settings)),
      say(std::move(say)),
      session(retry),
      audit(this->settings.db),
      user(localUser()) {
  levelPolicy = policy::readPolicy(this->settings.policyPath);
  if (!levelPolicy.errors.empty())
    throw ToolError{
        ErrorKind::kBadInput,
        "--policy: " + config::describeMistakes(this->settings.policyPath, levelPolicy.errors)};
  policyTime = modifiedAt(this->settings.policyPath);
}

void PolicyEnforcer::reloadIfChanged(bool asked) {
  const auto time = modifiedAt(settings.policyPath);
  if (!asked && time == policyTime) return;
  policyTime = time;
  policy::LevelPolicy fresh = policy::readPolicy(settings.policyPath);
  if (!fresh.errors.empty()) {
    note("error: keeping the policy read before: " +
         config::describeMistakes(settings.policyPath, fresh.errors));
    return;
  }
  levelPolicy = std::move(fresh);
  note("read " + settings.policyPath + " again: " + std::to_string(levelPolicy.entries.size()) +
       " entries");
}

void PolicyEnforcer::round(bool reloadAsked) {
  reloadIfChanged(reloadAsked);
  DiscoverySweep sweep;
  std::map<std::string, std::string> givenAs;  // endpoint text -> as named
  for (const std::string& given : settings.targets) {
    try {
      const Endpoint target = findTarget(session, given);
      sweep.addPort(target);
      givenAs[target.text()] = given;
    } catch (const ToolError& error) {
      if (isBadInput(error.kind)) throw;
      if (warned.insert(given).second) note("error: " + error.message + "; still trying");
    }
  }
  for (const std::string& host : settings.discoverHosts) sweep.addHost(resolve(host, 0));
  if (sweep.empty()) {
    for (const auto& given : settings.targets) unanswered.insert(given);
    return;
  }
  const RetryPolicy& retry = session.policy();
  const FoundTargets found =
      findTargets(session, sweep, retry.retries + 1, retry.timeout * (retry.retries + 1));
  std::set<std::string> answered;
  for (const auto& [key, target] : found.found) {
    answered.insert(target.from.text());
    try {
      apply(target.from, target.response);
    } catch (const ToolError& error) {
      if (isBadInput(error.kind)) throw;
      note("error: " + target.from.text() + ": " + error.message);
    }
  }
  for (const std::string& given : settings.targets) {
    const bool reached = std::any_of(givenAs.begin(), givenAs.end(), [&](const auto& entry) {
      return entry.second == given && answered.contains(entry.first);
    });
    if (reached) {
      unanswered.erase(given);
      reachedOnce.insert(given);
    } else if (!reachedOnce.contains(given)) {
      unanswered.insert(given);
    }
  }
}

void PolicyEnforcer::apply(const Endpoint& target, const codec::DiscoveryResponse& response) {
  const std::string uuid = codec::uuidToHex(response.uuid);
  const auto now = policy::SystemClock::now();
  for (const codec::ComponentInfo& info : listComponents(session, target)) {
    // Read, decide and change under the level-change lock, so that a
    // set-level or console change of the component made meanwhile is
    // neither undone by a mask read before it nor overridden while it runs.
    runningChanges.edit([&](std::vector<TemporaryChange>& running) {
      const codec::LevelDescriptions d = fetchLevelDescriptions(session, target, info.name);
      const auto desired = policy::desiredMask(levelPolicy, response.applicationName, info.name,
                                               d.clientMask, d.levels, now);
      if (!desired || desired->mask == d.clientMask) return;
      const std::string where = target.text() + " " + visible(info.name);
      if (!desired->error.empty()) {
        if (warned.insert(where + desired->error).second) {
          note("warning: " + settings.policyPath + ":" + std::to_string(desired->entry->line) +
               ": " + where + ": " + desired->error);
        }
        return;
      }
      const bool held = std::any_of(running.begin(), running.end(), [&](const TemporaryChange& c) {
        return c.uuid == uuid && c.component == info.name &&
               (c.claimed & (desired->mask ^ d.clientMask)) != 0;
      });
      if (held) {
        if (warned.insert(where + " held " + uuid).second)
          note("leaving " + where + " to a running temporary change until it ends");
        return;
      }
      const codec::ComponentInfo after = setLevelMask(session, target, info.name, desired->mask);
      audit.write(auditRow(target.text(), response.applicationName, info.name, d.clientMask,
                           after.clientMask, d.levels, user, store::kAuditPolicy));
      say(where + ": " + described(d.clientMask, d.levels) + " -> " +
          described(after.clientMask, d.levels) + " by " + settings.policyPath + ":" +
          std::to_string(desired->entry->line));
    });
  }
}

EnforceSettings policyBeside(const std::string& policyPath, const FollowOptions& follow,
                             const std::string& db, const char* command) {
  if (follow.targets.empty() && follow.discoverHosts.empty())
    throw ToolError{ErrorKind::kBadInput,
                    std::string(command) +
                        ": --policy applies to named targets and --discover hosts; "
                        "--broadcast alone names none"};
  return {policyPath, follow.targets, follow.discoverHosts, std::chrono::seconds(5), db};
}

PolicyThread::PolicyThread(const RetryPolicy& retry, EnforceSettings settings)
    : enforcer(retry, settings, [](const std::string& line) { note(line); }),
      every(settings.every),
      rounds([this] { run(); }) {}

PolicyThread::~PolicyThread() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  wake.notify_all();
  rounds.join();
}

void PolicyThread::run() {
  std::unique_lock lock(mutex);
  while (!stopping && !stopRequested()) {
    lock.unlock();
    try {
      enforcer.round();
    } catch (const ToolError& error) {
      note("error: --policy: " + error.message);
      if (isBadInput(error.kind)) return;  // the same each round
    }
    lock.lock();
    wake.wait_for(lock, every, [&] { return stopping; });
  }
}

}  // namespace remote
