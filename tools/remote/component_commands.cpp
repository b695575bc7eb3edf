// tools/remote/component_commands.cpp
//
// The subcommands about components: `components` (register, collect the
// component infos that follow the registration confirm, unregister),
// `levels` (one GLVD) and `set-level` (GLVD for the current mask and the
// level names, then SLV; with --for, the old mask is put back at the end).
//
// Threads: single-threaded tool.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "protocol/wire_format.h"
#include "remote/commands.h"
#include "remote/find_target.h"
#include "remote/stop_signal.h"
#include "remote/levels.h"

namespace remote {
namespace {

std::string joinNames(const std::vector<std::string>& names) {
  if (names.empty()) return "(none)";
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string dumpJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json levelsJson(const codec::LevelDescriptions& d) {
  nlohmann::json levels = nlohmann::json::array();
  for (const auto& level : d.levels) {
    const bool enabled = level.clientLevel < 32 && (d.clientMask >> level.clientLevel & 1u) != 0;
    levels.push_back({{"client_level", level.clientLevel}, {"text", level.text}, {"enabled", enabled}});
  }
  return levels;
}

// Sends SLV and returns the component info that answers it (the mask the
// host holds afterwards).
codec::ComponentInfo setMask(Session& session, const Endpoint& target, const std::string& component,
                             std::uint32_t clientMask) {
  const std::uint32_t id = session.nextRequestId();
  const auto reply = session.request(
      target, codec::buildSetLevelRequest(id, clientMask, component), [&](const codec::Datagram& d) {
        const auto* info = std::get_if<codec::ComponentInfo>(&d);
        return info != nullptr && info->requestId == id;
      });
  if (!reply) {
    throw ToolError{kExitNoAnswer, stopRequested()
                                       ? "interrupted while setting the level of '" + component + "'"
                                       : "no answer from " + target.text() + " to set-level for '" +
                                             component + "'"};
  }
  return std::get<codec::ComponentInfo>(*reply);
}

void printMask(const std::string& what, const std::string& component, std::uint32_t clientMask,
               const Levels& levels) {
  std::cout << what << component << ": " << maskHex(clientMask) << " ("
            << joinNames(levelNamesInMask(clientMask, levels)) << ")" << std::endl;
}

}  // namespace

codec::LevelDescriptions fetchLevelDescriptions(Session& session, const Endpoint& target,
                                                const std::string& component) {
  if (component.size() > wire::kMaxRequestNameLength) {
    throw ToolError{kExitUsage, "component name '" + component + "' is longer than " +
                                    std::to_string(wire::kMaxRequestNameLength) + " characters"};
  }
  const std::uint32_t id = session.nextRequestId();
  const auto reply = session.request(
      target, codec::buildGetLevelDescriptionsRequest(id, component), [&](const codec::Datagram& d) {
        const auto* levels = std::get_if<codec::LevelDescriptions>(&d);
        return levels != nullptr && levels->requestId == id;
      });
  if (!reply) {
    throw ToolError{kExitNoAnswer, stopRequested()
                                       ? "interrupted"
                                       : "no answer from " + target.text() +
                                             " to the level-descriptions request for '" + component + "'"};
  }
  return std::get<codec::LevelDescriptions>(*reply);
}

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
      std::cout << dumpJson({{"component", infos[i].name},
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

int runLevels(const CommonOptions& common, const std::string& targetText, const std::string& component) {
  Session session(common.retry);
  const Endpoint target = findTarget(session, targetText);
  const codec::LevelDescriptions d = fetchLevelDescriptions(session, target, component);
  if (d.levels.empty()) {
    note("warning: component '" + component + "' describes no levels (is the name right?)");
  }
  if (common.json) {
    std::cout << dumpJson({{"component", d.name}, {"client_mask", d.clientMask}, {"levels", levelsJson(d)}})
              << std::endl;
    return 0;
  }
  std::cout << "component " << d.name << " on " << target.text() << ", client mask "
            << maskHex(d.clientMask) << '\n'
            << "LEVEL  ENABLED  TEXT\n";
  for (const auto& level : d.levels) {
    const bool enabled = level.clientLevel < 32 && (d.clientMask >> level.clientLevel & 1u) != 0;
    std::cout << std::right << std::setw(5) << level.clientLevel << "  " << std::left << std::setw(7)
              << (enabled ? "yes" : "no") << "  " << level.text << '\n';
  }
  std::cout.flush();
  return 0;
}

int runSetLevel(const CommonOptions& common, const SetLevelOptions& options) {
  Session session(common.retry);
  const Endpoint target = findTarget(session, options.target);
  const codec::LevelDescriptions before = fetchLevelDescriptions(session, target, options.component);
  const auto wanted = parseLevelChange(options.levels, before.clientMask, before.levels);
  if (!wanted) throw ToolError{kExitUsage, wanted.error()};

  const codec::ComponentInfo after = setMask(session, target, options.component, *wanted);
  printMask("", options.component, after.clientMask, before.levels);
  if (after.clientMask != *wanted) {
    note("note: the target holds " + maskHex(after.clientMask) + ", asked for " + maskHex(*wanted));
  }
  if (!options.temporaryFor) return 0;

  const auto seconds = std::chrono::duration<double>(*options.temporaryFor).count();
  std::ostringstream when;
  when << seconds;
  note("restoring " + maskHex(before.clientMask) + " after " + when.str() + " s or on Ctrl-C");
  const auto deadline = Clock::now() + *options.temporaryFor;
  Received ignored;
  while (session.receive(deadline, ignored) == Session::Wait::kDatagram) {
  }
  clearStop();  // the stop ends the wait; the restore must still go out
  const codec::ComponentInfo restored = setMask(session, target, options.component, before.clientMask);
  printMask("restored ", options.component, restored.clientMask, before.levels);
  return 0;
}

}  // namespace remote
