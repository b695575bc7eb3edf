// tools/client/component_list.h
//
// A target's components, as it lists them: the component infos it sends
// right behind a registration confirm. Getting them costs a registration,
// undone at once. components prints them; levels and set-level look a name
// up in them when the target describes no levels for it, to tell a
// component without levels from one that does not exist.
//
// Threads: single-threaded tool.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/session.h"
#include "codec/client_codec.h"
#include "model/endpoint.h"

namespace remote {

// Registers, collects the component infos until none has come for one
// timeout, and unregisters. Throws ToolError when the target does not
// confirm or a stop was requested.
std::vector<codec::ComponentInfo> listComponents(Session& session, const Endpoint& target);

// "net, db, ui", or "no components".
std::string componentNames(const std::vector<codec::ComponentInfo>& components);

// Throws ToolError (exit 1) "no component 'nosuch' on HOST:PORT (it has:
// net, db, ui)" when `answer`, the target's level descriptions for
// `component`, is empty and the component list lacks it. When the list
// cannot be had (five clients already), says so and lets it pass.
void requireComponent(Session& session, const Endpoint& target, const std::string& component,
                      const codec::LevelDescriptions& answer);

}  // namespace remote
