// tools/remote/set_level_command.cpp
//
// `tarvin-remote set-level TARGET... COMPONENT[,COMPONENT...] LEVELS`: for
// each target (named, or every one --discover finds) and each component
// (or --all of them), a GLVD for the current mask and the level names,
// then an SLV; one line per target and component. Every target and
// component is asked and every LEVELS worked out before the first SLV: a
// name that does not resolve, a component that is not there or a level
// list that does not parse ends the command with no target changed. A
// target that cannot be reached is reported and makes the exit status 1;
// the others are changed all the same. Each change reads the mask again
// just before its SLV, under the lock every tarvin-remote process takes
// for level changes (running_changes.h): "+debug" adds to what the
// component holds then, so two runs at once never undo each other.
//
// With --for, every component of every target gets back the levels this
// run moved when the time is up or on SIGINT, SIGTERM or SIGHUP (a dropped
// SSH session must not leave debug on in production), save those another
// running change holds or someone changed since (temporary_change.h). A
// kill -9 cannot be caught: the targets then keep the change. --reset instead of LEVELS puts
// back the mask a component had before tarvin-remote first changed it
// (saved_masks.h), for an undo later in a script.
//
// Every change, and every restore of a --for, is a row of the audit trail
// in the record store --db names (audit_trail.h), by the local user:
// "manual", then "expired" when the time was up or "restore on exit" when a
// signal ended the wait.
//
// Threads: single-threaded tool.
#include <signal.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "base/note.h"
#include "base/state_file.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "cli/option_checks.h"
#include "client/component_list.h"
#include "client/discovery_sweep.h"
#include "client/find_target.h"
#include "client/find_targets.h"
#include "client/level_requests.h"
#include "client/running_changes.h"
#include "client/saved_masks.h"
#include "model/levels.h"
#include "output/level_output.h"
#include "recorder/audit_trail.h"
#include "remote/command.h"
#include "remote/command_options.h"

namespace remote {
namespace {

struct SetLevelOptions {
  std::vector<std::string> targets;        // HOST[:PORT] each
  std::vector<std::string> discoverHosts;  // and every target on these
  std::vector<std::string> components;     // empty with --all
  bool all = false;
  bool reset = false;
  std::string levels;  // as typed: 0x..., a,b or +a,-b; empty with --reset
  std::optional<std::chrono::milliseconds> temporaryFor;
  std::string temporaryForText;  // as typed, to say it back
  std::string db;                // the store that keeps the audit trail
};

// One component of one target as checked before anything is changed: its
// level descriptions and mask then, and the mask it is to get.
struct Planned {
  Endpoint target;
  std::string component;
  codec::LevelDescriptions before;
  std::uint32_t wanted = 0;
  std::uint32_t named = 0;  // the bits LEVELS speaks for
  bool untouched = false;   // --reset of a component tarvin-remote never changed
};

// One component changed for a while on one target, to be ended.
struct Change {
  Endpoint target;
  Levels levels;
  TemporaryChange running;
};

// A mistake in the command line or a check that failed: it ends the
// command before any target is touched, so that a typo never leaves half a
// fleet changed.
struct Refused {
  ToolError error;
};

// The audit trail in the store --db names, or the default one; without a
// place for the default, every change is made and said as not audited.
AuditTrail auditStore(const std::string& db) {
  try {
    return AuditTrail(storePath(db));
  } catch (const ToolError& error) {
    if (!db.empty()) throw;  // a directory given as --db: a usage error
    return AuditTrail("", error.message);
  }
}

class SetLevel {
 public:
  SetLevel(const CommonOptions& common, const SetLevelOptions& options)
      : options(options), session(common.retry), audit(auditStore(options.db)), user(localUser()) {}

  int run() {
    std::vector<Planned> plan;
    if (options.reset) requireSavedMasks();  // without them --reset would quietly do nothing
    try {
      const std::vector<Endpoint> targets = findAll();
      prefixed = targets.size() > 1 || !options.discoverHosts.empty();
      for (const Endpoint& target : targets) {
        if (stopRequested()) break;
        attempt([&] { check(target, plan); });
      }
    } catch (const Refused& refused) {
      throw ToolError{refused.error.kind, refused.error.message + " (no target was changed)"};
    }
    nameApplications(plan);
    for (const Planned& p : plan) {
      if (stopRequested()) break;
      attempt([&] { apply(p); });
    }
    if (options.temporaryFor && !changes.empty()) {
      waitOut();
      const char* why = stopRequested() ? store::kAuditRestoreOnExit : store::kAuditExpired;
      clearStop();  // the stop ends the wait; the restores must still go out
      for (const Change& c : changes) attempt([&] { restore(c, why); });
    }
    if (stopRequested() && exitCode == 0) exitCode = kExitNoAnswer;  // interrupted before the end
    return exitCode;
  }

 private:
  // Runs one target's part; a target that cannot be reached is said and
  // counted, and the other targets go on. A usage error ends the command.
  void attempt(const std::function<void()>& work) {
    try {
      work();
    } catch (const ToolError& error) {
      if (isBadInput(error.kind)) throw Refused{error};
      note("error: " + error.message);
      exitCode = kExitNoAnswer;  // bad input ended the command above
    }
  }

  std::vector<Endpoint> findAll() {
    std::vector<Endpoint> targets;
    const auto add = [&](const Endpoint& e) {
      if (std::find(targets.begin(), targets.end(), e) == targets.end()) targets.push_back(e);
    };
    for (const std::string& given : options.targets) {
      try {
        attempt([&] { add(findTarget(session, given)); });
      } catch (const Refused& refused) {
        if (!options.all) throw;
        // "--all net +debug" takes net for a target.
        throw Refused{
            {refused.error.kind, refused.error.message + "; with --all, no COMPONENT is given"}};
      }
    }
    if (!options.discoverHosts.empty()) {
      DiscoverySweep sweep;
      for (const std::string& host : options.discoverHosts) {
        attempt([&] { sweep.addHost(resolve(host, 0)); });
      }
      const RetryPolicy& retry = session.policy();
      const FoundTargets result =
          findTargets(session, sweep, retry.retries + 1, retry.timeout * (retry.retries + 1));
      for (const auto& [key, found] : result.found) {
        add(found.from);
        applications[found.from.text()] = found.response.applicationName;
      }
      if (result.found.empty()) {
        std::string hosts;
        for (const std::string& host : options.discoverHosts)
          hosts += (hosts.empty() ? "" : ", ") + host;
        note("error: no target answered on " + hosts);
        exitCode = std::max(exitCode, kExitNoAnswer);
      }
    }
    return targets;
  }

  // Works out the mask `p` is to get from what its component holds now:
  // "+debug" adds to the mask of this moment, not to the one checked
  // before, which another run may have changed since.
  void planMask(Planned& p, const codec::LevelDescriptions& now) {
    if (options.reset) {
      const auto first = firstMask(now.uuid, p.component);
      p.untouched = !first;  // never changed by us: nothing to undo
      p.wanted = first.value_or(now.clientMask);
      p.named = ~0u;
      return;
    }
    const auto parsed = parseLevelChange(options.levels, now.clientMask, now.levels);
    if (!parsed) throw Refused{{ErrorKind::kBadInput, parsed.error()}};
    p.wanted = *parsed;
    p.named = bitsNamed(*parseLevelChange(options.levels, 0, now.levels),
                        *parseLevelChange(options.levels, ~0u, now.levels));
  }

  // Asks `target` for what each component holds and works out its new
  // mask; changes nothing.
  void check(const Endpoint& target, std::vector<Planned>& plan) {
    std::vector<std::string> components = options.components;
    if (options.all) {
      for (const auto& info : listComponents(session, target)) components.push_back(info.name);
    }
    std::vector<Planned> planned;
    for (const std::string& component : components) {
      Planned p{target, component, fetchLevelDescriptions(session, target, component)};
      if (!options.all) {
        try {
          requireComponent(session, target, component, p.before);
        } catch (const ToolError& error) {
          throw Refused{error};  // a name that is not there: a mistake, not an outage
        }
      }
      planMask(p, p.before);
      planned.push_back(std::move(p));
    }
    plan.insert(plan.end(), planned.begin(), planned.end());
  }

  // The application of each target named by address, for the audit
  // trail: one discovery round for all of them. One that does not answer
  // now is changed all the same, its row without an application.
  void nameApplications(const std::vector<Planned>& plan) {
    DiscoverySweep sweep;
    for (const Planned& p : plan) {
      if (!applications.contains(p.target.text())) sweep.addPort(p.target);
    }
    if (sweep.empty()) return;
    const RetryPolicy& retry = session.policy();
    for (const auto& [key, found] :
         findTargets(session, sweep, retry.retries + 1, retry.timeout * (retry.retries + 1)).found)
      applications[found.from.text()] = found.response.applicationName;
  }

  void record(const Endpoint& target, const std::string& component, std::uint32_t before,
              std::uint32_t after, const Levels& levels, const char* why) {
    audit.write(auditRow(target.text(), applications[target.text()], component, before, after,
                         levels, user, why));
  }

  void apply(Planned p) {
    if (p.untouched) {
      print("", p.target, p.component, p.before.clientMask, p.before.levels);
      return;
    }
    codec::ComponentInfo after;
    // Under the lock of the running changes, so that no other run starts,
    // ends or makes a change of this component between the mask read here
    // and the SLV: two runs at once each add their levels, neither undoes
    // the other's.
    running.edit([&](std::vector<TemporaryChange>& list) {
      p.before = fetchLevelDescriptions(session, p.target, p.component);
      try {
        planMask(p, p.before);
      } catch (const Refused& refused) {  // restarted since the check, with other level names
        throw ToolError{ErrorKind::kNotFound, p.target.text() + " " + p.component + ": " +
                                                  refused.error.message + " (not changed)"};
      }
      if (!options.reset) rememberFirstMask(p.before.uuid, p.component, p.before.clientMask);
      TemporaryChange mine{running.newId(), codec::uuidToHex(p.before.uuid), p.component};
      if (options.temporaryFor) {
        mine.until =
            std::chrono::duration_cast<std::chrono::seconds>(
                (std::chrono::system_clock::now() + *options.temporaryFor).time_since_epoch())
                .count();
        mine = startTemporaryChange(list, mine, p.before.clientMask, p.wanted, p.named);
      }
      after = setLevelMask(session, p.target, p.component, p.wanted);
      record(p.target, p.component, p.before.clientMask, after.clientMask, p.before.levels,
             store::kAuditManual);
      if (!options.temporaryFor) {
        releaseBits(list, mine, p.named);  // set for good: no running change puts them back
        return;
      }
      list.push_back(mine);
      changes.push_back({p.target, p.before.levels, mine});
    });
    if (options.reset) forgetFirstMask(p.before.uuid, p.component);
    print("", p.target, p.component, after.clientMask, p.before.levels);
    if (after.clientMask != p.wanted) {
      note("note: " + p.target.text() + " holds " + maskHex(after.clientMask) + " for " +
           p.component + ", asked for " + maskHex(p.wanted));
    }
  }

  // Ends one temporary change: puts back the bits it moved that nobody
  // else has changed or still holds, and says which it left.
  void restore(const Change& c, const char* why) {
    running.edit([&](std::vector<TemporaryChange>& list) {
      TemporaryChange ending = c.running;
      const auto mine = std::find_if(list.begin(), list.end(),
                                     [&](const TemporaryChange& r) { return r.id == ending.id; });
      if (mine != list.end()) {
        ending = *mine;  // with what later changes for good released
        list.erase(mine);
      }
      const codec::LevelDescriptions now =
          fetchLevelDescriptions(session, c.target, ending.component);
      if (codec::uuidToHex(now.uuid) != ending.uuid) {
        note("note: " + c.target.text() + " restarted: its " + ending.component +
             " starts from its own mask, nothing to restore");
        return;
      }
      const Restore plan = planRestore(list, ending, now.clientMask);
      const codec::ComponentInfo restored =
          setLevelMask(session, c.target, ending.component, plan.mask);
      record(c.target, ending.component, now.clientMask, restored.clientMask, c.levels, why);
      print("restored ", c.target, ending.component, restored.clientMask, c.levels);
      for (const std::string& text : leftAlone(plan, c.levels))
        note("note: " + c.target.text() + " " + ending.component + ": " + text);
    });
  }

  void waitOut() {
    note("restoring the previous " + std::string(changes.size() > 1 ? "masks" : "mask") +
         " after " + options.temporaryForText + " or on Ctrl-C, SIGTERM or SIGHUP");
    const auto deadline = Clock::now() + *options.temporaryFor;
    Received ignored;
    for (;;) {
      const auto wait = session.receive(deadline, ignored);
      if (wait != Session::Wait::kDatagram && wait != Session::Wait::kRefused) break;
    }
  }

  void print(const char* what, const Endpoint& target, const std::string& component,
             std::uint32_t clientMask, const Levels& levels) {
    std::cout << what << (prefixed ? target.text() + " " : "") << component << ": "
              << maskHex(clientMask) << " (" << joinNames(levelNamesInMask(clientMask, levels))
              << ")" << std::endl;
  }

  const SetLevelOptions& options;
  Session session;
  bool prefixed = false;  // lines name their target
  RunningChanges running;
  std::vector<Change> changes;
  std::map<std::string, std::string> applications;  // target text -> application name
  AuditTrail audit;
  const std::string user;
  int exitCode = 0;
};

std::vector<std::string> splitComponents(const std::string& list) {
  std::vector<std::string> names;
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (name.empty())
      throw ToolError{ErrorKind::kBadInput, "set-level: empty component name in '" + list + "'"};
    names.push_back(name);
  }
  return names;
}

// The options as typed.
struct SetLevelFlags {
  CommonFlags common;
  std::vector<std::string> words;  // TARGET... COMPONENTS LEVELS
  SetLevelOptions setLevel;        // the flags
  std::string temporaryFor;
};

// Splits the words into targets, components and LEVELS: the last is
// LEVELS (unless --reset, or it came as an unmatched "-name"), the one
// before it the components (unless --all), the rest targets.
SetLevelOptions readWords(const SetLevelFlags& flags, std::vector<std::string> extras) {
  SetLevelOptions options = flags.setLevel;
  std::vector<std::string> words = flags.words;
  const char* const kShape =
      "set-level: expected TARGET... COMPONENT[,COMPONENT...] LEVELS "
      "(--all for every component, --reset instead of LEVELS)";
  if (!options.reset) {
    if (extras.size() == 1) {
      options.levels = extras.front();
      extras.clear();
    } else if (!words.empty()) {
      options.levels = words.back();
      words.pop_back();
    }
    if (options.levels.empty()) throw ToolError{ErrorKind::kBadInput, kShape};
  }
  if (!extras.empty())
    throw ToolError{ErrorKind::kBadInput,
                    "set-level: unexpected argument '" + extras.front() + "'"};
  if (!options.all) {
    if (words.empty()) throw ToolError{ErrorKind::kBadInput, kShape};
    options.components = splitComponents(words.back());
    words.pop_back();
  }
  options.targets = words;
  if (options.targets.empty() && options.discoverHosts.empty())
    throw ToolError{ErrorKind::kBadInput, kShape};
  if (options.reset && !flags.temporaryFor.empty()) {
    throw ToolError{ErrorKind::kBadInput, "set-level: --reset and --for do not go together"};
  }
  if (!flags.temporaryFor.empty())
    options.temporaryFor = parseDuration(flags.temporaryFor, "--for");
  options.temporaryForText = flags.temporaryFor;
  return options;
}

}  // namespace

const Command kSetLevelCommand = {
    "set-level", "Change the enabled levels of components on one or more targets",
    [](CLI::App& app) -> Run {
      auto flags = std::make_shared<SetLevelFlags>();
      app.footer(
          "LEVELS is a client mask (0xE0000000), a comma list of level names or client\n"
          "levels (error,warning,28), or changes to the current mask (+debug,-info).\n"
          "With --for, each target gets back what this run changed when the time is up\n"
          "or on SIGINT, SIGTERM or SIGHUP, save levels another running temporary change\n"
          "holds or someone changed since (said in a note); after kill -9 the targets\n"
          "keep the change.\n"
          "Every target and component is checked first: a name that does not resolve, a\n"
          "missing component or a bad LEVELS changes nothing. Exit status 1 when a target\n"
          "could not be reached, changed or restored; the others are changed all the same.");
      app.add_option("arguments", flags->words, "TARGET... COMPONENT[,COMPONENT...] LEVELS")
          ->type_name("");
      // "-debug" looks like an option to CLI11; unmatched arguments are kept
      // and taken as LEVELS below, so it need not be written after "--".
      app.allow_extras();
      app.add_option("--discover", flags->setLevel.discoverHosts,
                     "Also every target on this host (repeatable)")
          ->type_name("HOST")
          ->allow_extra_args(false);  // one host per --discover: the words after it are ours
      app.add_flag("--all", flags->setLevel.all,
                   "Every component of each target (then no COMPONENT)");
      app.add_flag("--reset", flags->setLevel.reset,
                   "Instead of LEVELS: the mask before tarvin-remote first changed the component");
      app.add_option("--for", flags->temporaryFor,
                     "Keep the change this long (e.g. 1m, 1h30m), then restore")
          ->check(cli::durationCheck())
          ->type_name("DURATION");
      app.add_option("--db", flags->setLevel.db,
                     "Record store that keeps the audit trail (default: " +
                         std::string(kDefaultStoreHelp) + ")")
          ->type_name("FILE");
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags, &app] {
        const CommonOptions common = flags->common.read();
        const SetLevelOptions options = readWords(*flags, app.remaining());
        // A reader of our output that is gone (a pipe to a dropped SSH
        // session) must not kill the tool before it restores.
        ::signal(SIGPIPE, SIG_IGN);
        installStopHandlers();
        SetLevel setLevel(common, options);
        return setLevel.run();
      };
    }};

}  // namespace remote
