// tools/client/find_target.h
//
// The one target a command talks to: HOST:PORT as given, or, without a
// port, the lowest port of the range on HOST whose target answers a
// discovery request.
//
// Threads: the tool is single-threaded.
#pragma once

#include <string>

#include "client/session.h"
#include "model/endpoint.h"

namespace remote {

// Says on stderr which target it found when it had to look. Throws
// ToolError when no target answers or a stop was requested meanwhile.
Endpoint findTarget(Session& session, const std::string& targetText);

}  // namespace remote
