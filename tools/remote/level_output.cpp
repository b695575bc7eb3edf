// tools/remote/level_output.cpp
//
// Level names and descriptions as text and JSON.
//
// Threads: pure functions; callable from any thread.
#include "remote/level_output.h"

namespace remote {

std::string joinNames(const std::vector<std::string>& names) {
  if (names.empty()) return "(none)";
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

nlohmann::json levelsJson(const codec::LevelDescriptions& d) {
  nlohmann::json levels = nlohmann::json::array();
  for (const auto& level : d.levels) {
    const bool enabled = level.clientLevel < 32 && (d.clientMask >> level.clientLevel & 1u) != 0;
    levels.push_back({{"client_level", level.clientLevel}, {"text", level.text}, {"enabled", enabled}});
  }
  return levels;
}

}  // namespace remote
