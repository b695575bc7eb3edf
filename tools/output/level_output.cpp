// tools/output/level_output.cpp
//
// Level names and descriptions as text and JSON.
//
// Threads: pure functions; callable from any thread.
#include "output/level_output.h"

#include "model/levels.h"

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
    levels.push_back({{"client_level", level.clientLevel},
                      {"text", level.text},
                      {"enabled", levelEnabled(d.clientMask, level.clientLevel)}});
  }
  return levels;
}

}  // namespace remote
