// tools/remote/level_requests.cpp
//
// GLVD and SLV with their replies matched by request id.
//
// Threads: single-threaded tool.
#include "remote/level_requests.h"

#include "protocol/wire_format.h"
#include "remote/stop_signal.h"
#include "remote/tool_error.h"

namespace remote {

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

codec::ComponentInfo setLevelMask(Session& session, const Endpoint& target, const std::string& component,
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

}  // namespace remote
