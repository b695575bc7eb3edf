// tools/remote/components_command.cpp
//
// `tarvin-remote components TARGET`: register, collect the component infos
// that follow the registration confirm, read each component's level
// descriptions, unregister, and print one line per component with its
// client mask and the levels it enables.
//
// Threads: single-threaded tool.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "protocol/wire_format.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/find_target.h"
#include "remote/json_line.h"
#include "remote/level_output.h"
#include "remote/level_requests.h"
#include "remote/levels.h"
#include "remote/note.h"
#include "remote/tool_error.h"

namespace remote {
namespace {

int runComponents(const CommonOptions& common, const std::string& targetText) {
  Session session(common.retry);
  const Endpoint target = findTarget(session, targetText);

  std::vector<codec::ComponentInfo> infos;
  auto keepInfo = [&](Received&& r) {
    auto* info = std::get_if<codec::ComponentInfo>(&r.datagram);
    if (info == nullptr || !r.from.answersFor(target) || info->requestId != wire::kUnsolicitedRequestId) return;
    auto same = [&](const codec::ComponentInfo& c) { return c.name == info->name; };
    if (std::none_of(infos.begin(), infos.end(), same)) infos.push_back(std::move(*info));
  };
  const auto confirm = session.request(target, codec::buildRegistrationRequest(),
                                       [](const codec::Datagram& d) {
                                         return std::holds_alternative<codec::RegistrationConfirm>(d);
                                       },
                                       keepInfo);
  if (!confirm) {
    throw ToolError{kExitNoAnswer, "no registration confirm from " + target.text() +
                                       " (it may already serve its five clients)"};
  }
  // The component infos follow the confirm back to back; once none has come
  // for one timeout, the list is complete. Log records may keep arriving,
  // so only component infos extend the wait.
  auto deadline = Clock::now() + common.retry.timeout;
  Received received;
  for (;;) {
    const auto wait = session.receive(deadline, received);
    if (wait == Session::Wait::kRefused) continue;  // not our target: it confirmed
    if (wait != Session::Wait::kDatagram) break;
    const std::size_t before = infos.size();
    keepInfo(std::move(received));
    if (infos.size() != before) deadline = Clock::now() + common.retry.timeout;
  }

  std::vector<codec::LevelDescriptions> descriptions;
  std::string failure;
  try {
    for (const auto& info : infos) descriptions.push_back(fetchLevelDescriptions(session, target, info.name));
  } catch (const ToolError& error) {
    failure = error.message;  // unregister first, then report
  }
  session.send(target, codec::buildUnregistrationRequest());
  if (!failure.empty()) throw ToolError{kExitNoAnswer, failure};

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
    std::cout << std::left << std::setw(static_cast<int>(width)) << infos[i].name << "  "
              << maskHex(infos[i].clientMask) << "   "
              << joinNames(levelNamesInMask(infos[i].clientMask, descriptions[i].levels)) << '\n';
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
