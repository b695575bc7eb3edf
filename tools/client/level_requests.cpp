// tools/client/level_requests.cpp
//
// GLVD and SLV with their replies matched by request id.
//
// Threads: single-threaded tool.
#include "client/level_requests.h"

#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "wire/wire_format.h"

namespace remote {
namespace {

// Sends `request` and waits for the reply of kind Reply that carries `id`,
// resending on timeout. On a stop it throws ToolError with `interrupted`,
// without an answer with "no answer from TARGET to `what`".
template <class Reply>
Reply requestReply(Session& session, const Endpoint& target, std::uint32_t id,
                   const codec::Bytes& request, const std::string& what,
                   const std::string& interrupted) {
  const auto reply = session.request(target, request, [id](const codec::Datagram& d) {
    const auto* candidate = std::get_if<Reply>(&d);
    return candidate != nullptr && candidate->requestId == id;
  });
  if (!reply) {
    if (stopRequested()) throw ToolError{ErrorKind::kInterrupted, interrupted};
    throw ToolError{ErrorKind::kNoAnswer, "no answer from " + target.text() + " to " + what};
  }
  return std::get<Reply>(*reply);
}

}  // namespace

codec::LevelDescriptions fetchLevelDescriptions(Session& session, const Endpoint& target,
                                                const std::string& component) {
  if (component.size() > wire::kMaxRequestNameLength) {
    throw ToolError{ErrorKind::kBadInput, "component name '" + component + "' is longer than " +
                                              std::to_string(wire::kMaxRequestNameLength) +
                                              " characters"};
  }
  const std::uint32_t id = session.nextRequestId();
  return requestReply<codec::LevelDescriptions>(
      session, target, id, codec::buildGetLevelDescriptionsRequest(id, component),
      "the level-descriptions request for '" + component + "'", "interrupted");
}

codec::ComponentInfo setLevelMask(Session& session, const Endpoint& target,
                                  const std::string& component, std::uint32_t clientMask) {
  const std::uint32_t id = session.nextRequestId();
  return requestReply<codec::ComponentInfo>(
      session, target, id, codec::buildSetLevelRequest(id, clientMask, component),
      "set-level for '" + component + "'",
      "interrupted while setting the level of '" + component + "'");
}

}  // namespace remote
