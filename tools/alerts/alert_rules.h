// tools/alerts/alert_rules.h
//
// Alert rules as an operator writes them, in a TOML file of [[rule]]
// tables:
//
//   [[rule]]
//   name = "db errors"
//   components = ["db"]                 # selector, all optional:
//   min_level = "error"                 #   targets, components, min_level,
//   grep = "timeout|refused"            #   grep (as --grep), match (as
//   condition = "count >= 10 within 1m" #   query --match)
//   for = "30s"
//   labels = { severity = "page" }
//   annotations = { summary = "{{count}} errors from {{component}} on {{target}}" }
//
// Conditions: "count >= N within D", "rate > X/s over D", "rate < X/s over
// D" (or /m), "absent for D", "lost >= N within D", and the events
// "target gone", "target restarted" and "level not restored" (each held
// for "within D", five minutes unless given). Templates may name
// {{target}}, {{component}}, {{text}} and {{count}}.
//
// readRules() checks everything a file can get wrong and names the line of
// each mistake, so that `alerts check` and a recorder that loads the file
// say the same.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/config_file.h"

namespace alerts {

using Duration = std::chrono::milliseconds;

struct Condition {
  enum class Kind {
    kCount,             // at least `threshold` records within `window`
    kRateAbove,         // more than `threshold` records a second over `window`
    kRateBelow,         // fewer than that
    kAbsent,            // no record for `window`
    kLost,              // at least `threshold` records lost within `window`
    kTargetGone,        // a target stopped answering; held until it answers
    kTargetRestarted,   // a new instance at a target's address, held `window`
    kLevelNotRestored,  // a temporary level change that could not be undone
  };
  Kind kind = Kind::kCount;
  double threshold = 0;
  Duration window{0};
  // Whether the condition looks at the records a selector picks (the
  // event conditions look at what happens to targets instead).
  bool selectsRecords() const {
    return kind == Kind::kCount || kind == Kind::kRateAbove || kind == Kind::kRateBelow ||
           kind == Kind::kAbsent;
  }
};

struct Rule {
  std::string name;
  int line = 0;  // of its [[rule]] header
  // Selector, each empty for "any".
  std::vector<std::string> targets;  // globs on the address or the application name
  std::vector<std::string> components;
  std::string minLevel;     // --min-level syntax
  std::string grep;         // POSIX extended, as --grep
  std::string exclude;      // as --exclude
  bool ignoreCase = false;  // `ignore_case`, as -i
  std::string match;        // full-text query, as query --match
  Condition condition;
  Duration holdFor{0};  // `for`
  std::map<std::string, std::string> labels;
  std::map<std::string, std::string> annotations;
};

using RuleError = config::Mistake;

struct RuleFile {
  std::vector<Rule> rules;
  std::vector<RuleError> errors;  // in line order; the rules are usable only without any
};

// Reads and checks the rule file at `path`.
RuleFile readRules(const std::string& path);
// The same for the text of a file, named `name` in messages.
RuleFile parseRules(const std::string& text, const std::string& name);

// "count >= 10 within 1m" and the others above; on a mistake, the error's
// message says which forms there are.
bool parseCondition(const std::string& text, Condition& condition, std::string& error);

// `text` with {{target}}, {{component}}, {{text}} and {{count}} replaced.
struct TemplateValues {
  std::string target, component, text;
  std::uint64_t count = 0;
};
std::string expandTemplate(const std::string& text, const TemplateValues& values);

}  // namespace alerts
