// tools/remote/levels_command.cpp
//
// `tarvin-remote levels TARGET COMPONENT`: one GLVD, printed as the
// component's client mask and one line per level description. An empty
// answer is looked up in the component list: a name the target does not
// have is an error, not an empty table. With --policy FILE the words are
// targets, and what differs from the policy is shown (policy_drift.h).
//
// Threads: single-threaded tool.
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/json_line.h"
#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "base/visible_text.h"
#include "client/component_list.h"
#include "client/find_target.h"
#include "client/level_requests.h"
#include "model/levels.h"
#include "output/level_output.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/policy_drift.h"

namespace remote {
namespace {

int runLevels(const CommonOptions& common, const std::string& targetText,
              const std::string& component) {
  installStopHandlers();
  Session session(common.retry);
  const Endpoint target = findTarget(session, targetText);
  const codec::LevelDescriptions d = fetchLevelDescriptions(session, target, component);
  requireComponent(session, target, component, d);
  if (d.levels.empty()) note("warning: component '" + component + "' describes no levels");
  if (common.json) {
    std::cout << jsonLine({{"component", d.name},
                           {"client_mask", d.clientMask},
                           {"levels", levelsJson(d)}})
              << std::endl;
    return 0;
  }
  std::cout << "component " << visible(d.name) << " on " << target.text() << ", client mask "
            << maskHex(d.clientMask) << '\n'
            << "LEVEL  ENABLED  TEXT\n";
  for (const auto& level : d.levels) {
    std::cout << std::right << std::setw(5) << level.clientLevel << "  " << std::left
              << std::setw(7) << (levelEnabled(d.clientMask, level.clientLevel) ? "yes" : "no")
              << "  " << visible(level.text) << '\n';
  }
  std::cout.flush();
  return 0;
}

struct LevelsFlags {
  CommonFlags common;
  std::vector<std::string> words;  // TARGET COMPONENT, or with --policy TARGET...
  DriftOptions drift;
};

int run(const LevelsFlags& flags) {
  if (!flags.drift.policyPath.empty()) {
    DriftOptions drift = flags.drift;
    drift.targets = flags.words;
    if (drift.targets.empty() && drift.discoverHosts.empty())
      throw ToolError{ErrorKind::kBadInput,
                      "levels --policy: name a TARGET, or use --discover HOST"};
    return runPolicyDrift(flags.common.read(), drift);
  }
  if (!flags.drift.discoverHosts.empty())
    throw ToolError{ErrorKind::kBadInput, "levels: --discover goes with --policy"};
  if (flags.words.size() != 2)
    throw ToolError{ErrorKind::kBadInput,
                    "levels: give TARGET COMPONENT (or --policy FILE TARGET...)"};
  return runLevels(flags.common.read(), flags.words[0], flags.words[1]);
}

}  // namespace

const Command kLevelsCommand = {
    "levels", "Show the levels of one component, or what differs from a level policy",
    [](CLI::App& app) -> Run {
      auto flags = std::make_shared<LevelsFlags>();
      app.add_option("words", flags->words,
                     "TARGET COMPONENT: HOST[:PORT] and a component name; with --policy, "
                     "the targets to compare")
          ->type_name("TARGET [COMPONENT]");
      app.add_option("--policy", flags->drift.policyPath,
                     "Show every component whose mask differs from this level policy (TOML), "
                     "with the policy's line that decides it")
          ->type_name("FILE");
      app.add_option("--discover", flags->drift.discoverHosts,
                     "With --policy: every target on HOST (repeatable)")
          ->type_name("HOST")
          ->allow_extra_args(false);
      addCommonOptions(app, flags->common);
      return [flags] { return run(*flags); };
    }};

}  // namespace remote
