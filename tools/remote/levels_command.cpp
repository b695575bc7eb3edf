// tools/remote/levels_command.cpp
//
// `tarvin-remote levels TARGET COMPONENT`: one GLVD, printed as the
// component's client mask and one line per level description. An empty
// answer is looked up in the component list: a name the target does not
// have is an error, not an empty table.
//
// Threads: single-threaded tool.
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/component_list.h"
#include "remote/find_target.h"
#include "remote/json_line.h"
#include "remote/level_output.h"
#include "remote/level_requests.h"
#include "remote/levels.h"
#include "remote/note.h"
#include "remote/visible_text.h"

namespace remote {
namespace {

int runLevels(const CommonOptions& common, const std::string& targetText,
              const std::string& component) {
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
  std::string target;
  std::string component;
};

}  // namespace

const Command kLevelsCommand = {
    "levels", "Show the levels of one component", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<LevelsFlags>();
      addTargetArgument(app, flags->target);
      app.add_option("component", flags->component, "Component name")->required();
      addCommonOptions(app, flags->common);
      return [flags] { return runLevels(flags->common.read(), flags->target, flags->component); };
    }};

}  // namespace remote
