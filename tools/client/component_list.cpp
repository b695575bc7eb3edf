// tools/client/component_list.cpp
//
// The component list behind a registration, and the lookup of one name in
// it.
//
// Threads: single-threaded tool.
#include "client/component_list.h"

#include <algorithm>

#include "base/note.h"
#include "base/tool_error.h"
#include "wire/wire_format.h"

namespace remote {

std::vector<codec::ComponentInfo> listComponents(Session& session, const Endpoint& target) {
  std::vector<codec::ComponentInfo> infos;
  auto keepInfo = [&](Received&& r) {
    auto* info = std::get_if<codec::ComponentInfo>(&r.datagram);
    if (info == nullptr || !r.from.answersFor(target) ||
        info->requestId != wire::kUnsolicitedRequestId)
      return;
    auto same = [&](const codec::ComponentInfo& c) { return c.name == info->name; };
    if (std::none_of(infos.begin(), infos.end(), same)) infos.push_back(std::move(*info));
  };
  const auto confirm = session.request(
      target, codec::buildRegistrationRequest(),
      [](const codec::Datagram& d) {
        return std::holds_alternative<codec::RegistrationConfirm>(d);
      },
      keepInfo);
  if (!confirm) {
    throw ToolError{ErrorKind::kNoAnswer, "no registration confirm from " + target.text() +
                                              " (it may already serve its five clients)"};
  }
  // The component infos follow the confirm back to back; once none has come
  // for one timeout, the list is complete. Log records may keep arriving,
  // so only component infos extend the wait.
  auto deadline = Clock::now() + session.policy().timeout;
  Received received;
  for (;;) {
    const auto wait = session.receive(deadline, received);
    if (wait == Session::Wait::kRefused) continue;  // not our target: it confirmed
    if (wait != Session::Wait::kDatagram) break;
    const std::size_t before = infos.size();
    keepInfo(std::move(received));
    if (infos.size() != before) deadline = Clock::now() + session.policy().timeout;
  }
  session.send(target, codec::buildUnregistrationRequest());
  return infos;
}

std::string componentNames(const std::vector<codec::ComponentInfo>& components) {
  std::string names;
  for (const auto& c : components) names += (names.empty() ? "" : ", ") + c.name;
  return names.empty() ? "no components" : names;
}

void requireComponent(Session& session, const Endpoint& target, const std::string& component,
                      const codec::LevelDescriptions& answer) {
  if (!answer.levels.empty()) return;
  std::vector<codec::ComponentInfo> components;
  try {
    components = listComponents(session, target);
  } catch (const ToolError& error) {
    note("warning: cannot tell whether " + target.text() + " has a component '" + component +
         "': " + error.message);
    return;
  }
  const auto named = [&](const codec::ComponentInfo& c) { return c.name == component; };
  if (std::any_of(components.begin(), components.end(), named)) return;
  throw ToolError{ErrorKind::kNotFound, "no component '" + component + "' on " + target.text() +
                                            " (it has: " + componentNames(components) + ")"};
}

}  // namespace remote
