// tools/remote/enforce_command.cpp
//
// `tarvin-remote enforce --policy FILE TARGET... | --discover HOST...`:
// applies a level policy (policy/level_policy.h) and keeps it applied.
// Every --every the targets are looked for again; each one's components
// are compared with the policy and a component that differs is set to what
// the policy wants. So a target that starts, or restarts with its host's
// own levels, has the policy's within one period, and a mask someone
// changed by hand goes back. A component that a running temporary change
// holds (set-level --for, the web console's timer) is left to it until it
// ends; the next round then puts the policy back.
//
// The policy file is read again on SIGHUP and when its modification time
// changes; a file with mistakes is named and the policy before it kept.
// Every change is a row of the audit trail in the record store --db names
// (audit_trail.h): by the local user, "policy".
// SIGINT and SIGTERM end the command (exit 0, or 1 when a named target
// never answered).
//
// Threads: single-threaded tool.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "base/note.h"
#include "base/state_file.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "base/visible_text.h"
#include "cli/option_checks.h"
#include "client/component_list.h"
#include "client/discovery_sweep.h"
#include "client/find_target.h"
#include "client/find_targets.h"
#include "client/level_requests.h"
#include "client/running_changes.h"
#include "model/levels.h"
#include "output/level_output.h"
#include "policy/level_policy.h"
#include "recorder/audit_trail.h"
#include "remote/command.h"
#include "remote/command_options.h"

namespace remote {
namespace {

struct EnforceFlags {
  CommonFlags common;
  std::string policyPath;
  std::vector<std::string> targets;
  std::vector<std::string> discoverHosts;
  std::string every = "5s";
  std::string db;  // the store that keeps the audit trail
};

std::optional<std::int64_t> modifiedAt(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
}

std::string described(std::uint32_t mask, const Levels& levels) {
  return maskHex(mask) + " (" + visible(joinNames(levelNamesInMask(mask, levels))) + ")";
}

class Enforcer {
 public:
  Enforcer(const CommonOptions& common, const EnforceFlags& flags)
      : flags(flags),
        session(common.retry),
        every(parseDuration(flags.every, "--every")),
        audit(storePath(flags.db)),
        user(localUser()) {
    levelPolicy = policy::readPolicy(flags.policyPath);
    if (!levelPolicy.errors.empty())
      throw ToolError{kExitUsage, "--policy: " + config::describeMistakes(flags.policyPath,
                                                                          levelPolicy.errors)};
    policyTime = modifiedAt(flags.policyPath);
  }

  int run() {
    reloadOnHangup();
    note("enforcing " + flags.policyPath + " (" + std::to_string(levelPolicy.entries.size()) +
         " entries) every " + flags.every + "; Ctrl-C ends");
    while (!stopRequested()) {
      reloadIfChanged();
      round();
      wait(every);
    }
    if (!neverAnswered.empty()) {
      std::string names;
      for (const std::string& name : neverAnswered) names += (names.empty() ? "" : ", ") + name;
      note("error: never answered: " + names);
      return kExitNoAnswer;
    }
    return 0;
  }

 private:
  void reloadIfChanged() {
    const auto time = modifiedAt(flags.policyPath);
    if (!takeReloadRequest() && time == policyTime) return;
    policyTime = time;
    policy::LevelPolicy fresh = policy::readPolicy(flags.policyPath);
    if (!fresh.errors.empty()) {
      note("error: keeping the policy read before: " +
           config::describeMistakes(flags.policyPath, fresh.errors));
      return;
    }
    levelPolicy = std::move(fresh);
    note("read " + flags.policyPath + " again: " + std::to_string(levelPolicy.entries.size()) +
         " entries");
  }

  void round() {
    DiscoverySweep sweep;
    std::map<std::string, std::string> givenAs;  // endpoint text -> as named
    for (const std::string& given : flags.targets) {
      try {
        const Endpoint target = findTarget(session, given);
        sweep.addPort(target);
        givenAs[target.text()] = given;
      } catch (const ToolError& error) {
        if (error.exitCode == kExitUsage) throw;
        if (warned.insert(given).second) note("error: " + error.message + "; still trying");
      }
    }
    for (const std::string& host : flags.discoverHosts) sweep.addHost(resolve(host, 0));
    if (sweep.empty()) {
      for (const auto& given : flags.targets) neverAnswered.insert(given);
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
        if (error.exitCode == kExitUsage) throw;
        note("error: " + target.from.text() + ": " + error.message);
      }
    }
    for (const std::string& given : flags.targets) {
      const bool reached = std::any_of(givenAs.begin(), givenAs.end(), [&](const auto& entry) {
        return entry.second == given && answered.contains(entry.first);
      });
      if (reached) {
        neverAnswered.erase(given);
        reachedOnce.insert(given);
      } else if (!reachedOnce.contains(given)) {
        neverAnswered.insert(given);
      }
    }
  }

  void apply(const Endpoint& target, const codec::DiscoveryResponse& response) {
    const std::string uuid = codec::uuidToHex(response.uuid);
    std::vector<TemporaryChange> running;
    runningChanges.edit([&](std::vector<TemporaryChange>& changes) { running = changes; });
    const auto now = policy::SystemClock::now();
    for (const codec::ComponentInfo& info : listComponents(session, target)) {
      const codec::LevelDescriptions d = fetchLevelDescriptions(session, target, info.name);
      const auto desired = policy::desiredMask(levelPolicy, response.applicationName, info.name,
                                               d.clientMask, d.levels, now);
      if (!desired || desired->mask == d.clientMask) continue;
      const std::string where = target.text() + " " + visible(info.name);
      if (!desired->error.empty()) {
        if (warned.insert(where + desired->error).second) {
          note("warning: " + flags.policyPath + ":" + std::to_string(desired->entry->line) + ": " +
               where + ": " + desired->error);
        }
        continue;
      }
      const bool held = std::any_of(running.begin(), running.end(), [&](const TemporaryChange& c) {
        return c.uuid == uuid && c.component == info.name &&
               (c.claimed & (desired->mask ^ d.clientMask)) != 0;
      });
      if (held) {
        if (warned.insert(where + " held " + uuid).second)
          note("leaving " + where + " to a running temporary change until it ends");
        continue;
      }
      const codec::ComponentInfo after = setLevelMask(session, target, info.name, desired->mask);
      audit.write(auditRow(target.text(), response.applicationName, info.name, d.clientMask,
                           after.clientMask, d.levels, user, store::kAuditPolicy));
      std::cout << where << ": " << described(d.clientMask, d.levels) << " -> "
                << described(after.clientMask, d.levels) << " by " << flags.policyPath << ":"
                << desired->entry->line << std::endl;
    }
  }

  void wait(std::chrono::milliseconds duration) {
    pollfd wake{stopWakeFd(), POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(duration.count()));
    // The pipe says only that a signal came; the flags say which.
    char drain[16];
    while (::read(stopWakeFd(), drain, sizeof drain) > 0) {
    }
  }

  const EnforceFlags& flags;
  Session session;
  const std::chrono::milliseconds every;
  policy::LevelPolicy levelPolicy;
  std::optional<std::int64_t> policyTime;
  RunningChanges runningChanges;
  AuditTrail audit;
  const std::string user;
  std::set<std::string> warned, neverAnswered, reachedOnce;
};

}  // namespace

const Command kEnforceCommand = {
    "enforce", "Apply a level policy to targets and keep it applied", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<EnforceFlags>();
      app.footer(
          "Every --every the targets are looked for and each component that differs from the\n"
          "policy is set to what it wants; a restarted target gets it back within one period.\n"
          "A component held by a running temporary change (set-level --for, the web console)\n"
          "is left to it until it ends. The policy is read again on SIGHUP and when the file\n"
          "changes. Ctrl-C or SIGTERM ends it.");
      app.add_option("--policy", flags->policyPath, "Level policy (TOML), as levels --policy takes")
          ->required()
          ->type_name("FILE");
      app.add_option("targets", flags->targets, "HOST[:PORT] of each target")->type_name("TARGET");
      app.add_option("--discover", flags->discoverHosts, "Every target on HOST (repeatable)")
          ->type_name("HOST")
          ->allow_extra_args(false);
      app.add_option("--every", flags->every, "How often the targets are looked at")
          ->type_name("DURATION")
          ->check(cli::durationCheck(std::chrono::milliseconds(100)));
      app.add_option("--db", flags->db,
                     "Record store that keeps the audit trail (default: " +
                         std::string(kDefaultStoreHelp) + ")")
          ->type_name("FILE");
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags] {
        if (flags->targets.empty() && flags->discoverHosts.empty())
          throw ToolError{kExitUsage, "enforce: name a TARGET, or use --discover HOST"};
        Enforcer enforcer(flags->common.read(), *flags);
        return enforcer.run();
      };
    }};

}  // namespace remote
