// tools/remote/components_command.cpp
//
// `tarvin-remote components TARGET`: the component list (component_list.h),
// each component's level descriptions, and one line per component with its
// client mask and the levels it enables.
//
// Threads: single-threaded tool.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/json_line.h"
#include "base/note.h"
#include "base/stop_signal.h"
#include "base/visible_text.h"
#include "client/component_list.h"
#include "client/find_target.h"
#include "client/level_requests.h"
#include "model/levels.h"
#include "output/level_output.h"
#include "remote/command.h"
#include "remote/command_options.h"

namespace remote {
namespace {

int runComponents(const CommonOptions& common, const std::string& targetText) {
  installStopHandlers();
  Session session(common.retry);
  const Endpoint target = findTarget(session, targetText);

  const std::vector<codec::ComponentInfo> infos = listComponents(session, target);
  std::vector<codec::LevelDescriptions> descriptions;
  for (const auto& info : infos)
    descriptions.push_back(fetchLevelDescriptions(session, target, info.name));

  if (common.json) {
    for (std::size_t i = 0; i < infos.size(); ++i) {
      const auto& d = descriptions[i];
      std::cout << jsonLine({{"component", infos[i].name},
                             {"client_mask", infos[i].clientMask},
                             {"enabled", levelNamesInMask(infos[i].clientMask, d.levels)},
                             {"levels", levelsJson(d)}})
                << '\n';
    }
    std::cout.flush();
    return 0;
  }
  std::size_t width = std::string("COMPONENT").size();
  for (const auto& info : infos) width = std::max(width, info.name.size());
  std::cout << std::left << std::setw(static_cast<int>(width)) << "COMPONENT"
            << "  CLIENT MASK  ENABLED LEVELS\n";
  for (std::size_t i = 0; i < infos.size(); ++i) {
    std::cout << std::left << std::setw(static_cast<int>(width)) << visible(infos[i].name) << "  "
              << maskHex(infos[i].clientMask) << "   "
              << visible(joinNames(levelNamesInMask(infos[i].clientMask, descriptions[i].levels)))
              << '\n';
  }
  std::cout.flush();
  if (infos.empty()) note("target " + target.text() + " reported no components");
  return 0;
}

struct ComponentsFlags {
  CommonFlags common;
  std::string target;
};

}  // namespace

const Command kComponentsCommand = {
    "components", "List a target's components and enabled levels", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<ComponentsFlags>();
      addTargetArgument(app, flags->target);
      addCommonOptions(app, flags->common);
      return [flags] { return runComponents(flags->common.read(), flags->target); };
    }};

}  // namespace remote
