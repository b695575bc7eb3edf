// tools/policy/level_policy.cpp
//
// Reading a level policy and picking the entry that decides a component;
// see level_policy.h.
//
// Threads: pure functions; callable from any thread.
#include "policy/level_policy.h"

#include <toml++/toml.h>
#include <algorithm>
#include <ctime>

namespace policy {
namespace {

int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// "2026-12-11" (through that day) or "2026-12-11 18:00[:30]" / with a T,
// in local time.
std::optional<SystemClock::time_point> parseUntil(const std::string& text) {
  std::tm when{};
  int fields = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char separator = 0;
  fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &year, &month, &day, &separator,
                       &hour, &minute, &second);
  const bool dateOnly = fields == 3 && text.size() == 10;
  const bool withTime = fields >= 6 && (separator == ' ' || separator == 'T');
  if (!dateOnly && !withTime) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = dateOnly ? day + 1 : day;  // through that day: until the next begins
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  when.tm_isdst = -1;
  const std::time_t at = std::mktime(&when);
  if (at == -1) return std::nullopt;
  return SystemClock::from_time_t(at);
}

std::size_t literalCharacters(const std::string& glob) {
  return static_cast<std::size_t>(
      std::count_if(glob.begin(), glob.end(), [](char c) { return c != '*' && c != '?'; }));
}

class PolicyReader {
 public:
  explicit PolicyReader(LevelPolicy& policy) : policy(policy) {}

  void read(const toml::table& root) {
    for (const auto& [key, value] : root) {
      if (key.str() != "level")
        fail(lineOf(value),
             "unknown table '" + std::string(key.str()) + "' (entries are [[level]])");
    }
    const toml::array* list = root["level"].as_array();
    if (list == nullptr) return fail(1, "no entries: a policy holds [[level]] tables");
    for (const toml::node& node : *list) {
      if (const toml::table* table = node.as_table()) {
        readEntry(*table);
      } else {
        fail(lineOf(node), "'level' must be [[level]] tables");
      }
    }
  }

 private:
  void fail(int line, std::string message) { policy.errors.push_back({line, std::move(message)}); }

  void readEntry(const toml::table& table) {
    LevelEntry entry;
    entry.line = lineOf(table);
    const std::size_t before = policy.errors.size();
    for (const auto& [keyName, value] : table) {
      const std::string key(keyName.str());
      const auto* text = value.as_string();
      if (key != "application" && key != "component" && key != "levels" && key != "until") {
        fail(lineOf(value),
             "unknown key '" + key + "' (an entry has application, component, levels, until)");
        continue;
      }
      if (text == nullptr) {
        fail(lineOf(value), key + " must be a string in quotes");
        continue;
      }
      const std::string& string = text->get();
      if (key == "application") {
        entry.application = string.empty() ? "*" : string;
      } else if (key == "component") {
        entry.component = string.empty() ? "*" : string;
      } else if (key == "levels") {
        entry.levels = string;
      } else {
        entry.until = parseUntil(string);
        if (!entry.until)
          fail(lineOf(value),
               "until: '" + string + "' is no date (2026-12-11 or 2026-12-11 18:00)");
      }
    }
    if (entry.levels.empty()) fail(entry.line, "entry without levels");
    // Levels are checked against each component's descriptions when it is
    // met; what can be checked without them is the form.
    if (!entry.levels.empty() && entry.levels.find_first_of(" \t") != std::string::npos)
      fail(entry.line, "levels: '" + entry.levels + "' holds a space (levels are a,b or +a,-b)");
    if (policy.errors.size() == before) policy.entries.push_back(std::move(entry));
  }

  LevelPolicy& policy;
};

}  // namespace

LevelPolicy parsePolicy(const std::string& text, const std::string& name) {
  LevelPolicy policy;
  toml::table root;
  if (!config::parseToml(text, name, root, policy.errors)) return policy;
  PolicyReader(policy).read(root);
  config::sortByLine(policy.errors);
  if (!policy.errors.empty()) policy.entries.clear();
  return policy;
}

LevelPolicy readPolicy(const std::string& path) {
  const auto text = config::readWholeFile(path);
  if (!text) return LevelPolicy{{}, {{0, "cannot read " + path}}};
  return parsePolicy(*text, path);
}

const LevelEntry* decidingEntry(const LevelPolicy& policy, const std::string& application,
                                const std::string& component, SystemClock::time_point now) {
  const LevelEntry* best = nullptr;
  const auto rank = [](const LevelEntry& e) {
    return std::make_pair(e.component != "*", literalCharacters(e.application));
  };
  for (const LevelEntry& entry : policy.entries) {
    if (entry.until && now >= *entry.until) continue;
    if (entry.component != "*" && entry.component != component) continue;
    if (!config::globMatches(entry.application, application)) continue;
    // Later entries win ties: >=.
    if (best == nullptr || rank(entry) >= rank(*best)) best = &entry;
  }
  return best;
}

std::optional<Desired> desiredMask(const LevelPolicy& policy, const std::string& application,
                                   const std::string& component, std::uint32_t current,
                                   const remote::Levels& levels, SystemClock::time_point now) {
  const LevelEntry* entry = decidingEntry(policy, application, component, now);
  if (entry == nullptr) return std::nullopt;
  Desired desired;
  desired.entry = entry;
  const auto parsed = remote::parseLevelChange(entry->levels, current, levels);
  if (parsed.ok()) {
    desired.mask = parsed.value();
  } else {
    desired.error = parsed.error();
  }
  return desired;
}

}  // namespace policy
