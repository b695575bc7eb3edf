// tools/output/level_output.h
//
// How components, levels and set-level show level names and descriptions:
// names joined for a line of text, and the JSON array of one component's
// levels.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "codec/client_codec.h"

namespace remote {

// "error, warning", or "(none)".
std::string joinNames(const std::vector<std::string>& names);

// [{"client_level": 31, "text": "error", "enabled": true}, ...]
nlohmann::json levelsJson(const codec::LevelDescriptions& descriptions);

}  // namespace remote
