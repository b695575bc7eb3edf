// tools/remote/enforce_command.cpp
//
// `tarvin-remote enforce --policy FILE TARGET... | --discover HOST...`:
// applies a level policy (policy/level_policy.h) and keeps it applied, by
// the rounds of policy_enforcer.h.
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
#include <unistd.h>

#include <iostream>
#include <memory>

#include "base/note.h"
#include "base/state_file.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "cli/option_checks.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/policy_enforcer.h"

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

void wait(std::chrono::milliseconds duration) {
  pollfd wake{stopWakeFd(), POLLIN, 0};
  ::poll(&wake, 1, static_cast<int>(duration.count()));
  // The pipe says only that a signal came; the flags say which.
  char drain[16];
  while (::read(stopWakeFd(), drain, sizeof drain) > 0) {
  }
}

int runEnforce(const CommonOptions& common, const EnforceFlags& flags) {
  EnforceSettings settings{flags.policyPath, flags.targets, flags.discoverHosts,
                           parseDuration(flags.every, "--every"), storePath(flags.db)};
  PolicyEnforcer enforcer(common.retry, settings,
                          [](const std::string& line) { std::cout << line << std::endl; });
  reloadOnHangup();
  note("enforcing " + flags.policyPath + " (" + std::to_string(enforcer.entries()) +
       " entries) every " + flags.every + "; Ctrl-C ends");
  while (!stopRequested()) {
    enforcer.round(takeReloadRequest());
    wait(settings.every);
  }
  if (!enforcer.neverAnswered().empty()) {
    std::string names;
    for (const std::string& name : enforcer.neverAnswered())
      names += (names.empty() ? "" : ", ") + name;
    note("error: never answered: " + names);
    return kExitNoAnswer;
  }
  return 0;
}

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
          throw ToolError{ErrorKind::kBadInput, "enforce: name a TARGET, or use --discover HOST"};
        installStopHandlers();
        return runEnforce(flags->common.read(), *flags);
      };
    }};

}  // namespace remote
