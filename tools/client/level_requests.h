// tools/client/level_requests.h
//
// The two requests about one component's levels, as the commands use them:
// GLVD for its level descriptions and current mask, SLV to set its mask.
// Each waits for the reply that carries its own request id, resending on
// timeout.
//
// Threads: single-threaded tool.
#pragma once

#include <cstdint>
#include <string>

#include "client/session.h"
#include "codec/client_codec.h"
#include "model/endpoint.h"

namespace remote {

// The level descriptions of `component`. Throws ToolError when the name
// is too long for a request (usage), the target does not answer or a stop
// was requested.
codec::LevelDescriptions fetchLevelDescriptions(Session& session, const Endpoint& target,
                                                const std::string& component);

// Sets the client mask of `component` and returns the component info that
// answers (the mask the host holds afterwards). Throws ToolError when the
// target does not answer or a stop was requested.
codec::ComponentInfo setLevelMask(Session& session, const Endpoint& target,
                                  const std::string& component, std::uint32_t clientMask);

}  // namespace remote
