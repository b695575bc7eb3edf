// tools/alerts/alert_rules.cpp
//
// Reading alert rules: toml++ parses the file and keeps the line of every
// value, so each check below can name the line of what it rejects.
//
// Threads: pure functions; callable from any thread.
#include "alerts/alert_rules.h"

#include <toml++/toml.h>
#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>

#include "cli/option_checks.h"
#include "model/record_match.h"
#include "model/text_query.h"

namespace alerts {
namespace {

constexpr Duration kDefaultEventHold = std::chrono::minutes(5);

const char* const kConditionForms =
    "'count >= N within DURATION', 'rate > N/s over DURATION', 'rate < N/s over DURATION', "
    "'absent for DURATION', 'lost >= N within DURATION', 'target gone', "
    "'target restarted [within DURATION]', 'level not restored [within DURATION]'";

const std::set<std::string, std::less<>> kTemplateNames = {"target", "component", "text", "count"};

int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

bool parseWindow(const std::string& text, Duration& window, std::string& error) {
  const auto parsed = cli::parseDuration(text);
  if (!parsed || parsed->count() <= 0) {
    error = "'" + text + "' is no duration (such as " + cli::kDurationExamples + ")";
    return false;
  }
  window = *parsed;
  return true;
}

bool parseCount(const std::string& text, double& value, std::string& error) {
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(number) || number < 0) {
    error = "'" + text + "' is no number of records";
    return false;
  }
  value = number;
  return true;
}

// "10/s" or "600/m": records a second.
bool parseRate(const std::string& text, double& perSecond, std::string& error) {
  const auto slash = text.find('/');
  std::string number = text.substr(0, slash);
  const std::string unit = slash == std::string::npos ? "s" : text.substr(slash + 1);
  if ((unit != "s" && unit != "m") || !parseCount(number, perSecond, error)) {
    error = "'" + text + "' is no rate (such as 10/s or 600/m)";
    return false;
  }
  if (unit == "m") perSecond /= 60;
  return true;
}

// Every {{name}} of `text` is one we fill in.
bool checkTemplate(const std::string& text, std::string& error) {
  for (std::size_t at = text.find("{{"); at != std::string::npos; at = text.find("{{", at + 2)) {
    const auto end = text.find("}}", at);
    const std::string name = end == std::string::npos ? "" : text.substr(at + 2, end - at - 2);
    if (!kTemplateNames.contains(name)) {
      error = "unknown template '" + text.substr(at, end == std::string::npos ? 2 : end - at + 2) +
              "' (templates: {{target}}, {{component}}, {{text}}, {{count}})";
      return false;
    }
  }
  return true;
}

class RuleReader {
 public:
  explicit RuleReader(RuleFile& file) : file(file) {}

  void read(const toml::table& root) {
    for (const auto& [key, value] : root) {
      if (key.str() != "rule")
        fail(lineOf(value), "unknown table '" + std::string(key.str()) + "' (rules are [[rule]])");
    }
    const toml::node_view rules = root["rule"];
    if (!rules) return fail(1, "no rules: a file holds [[rule]] tables");
    const toml::array* list = rules.as_array();
    if (list == nullptr) return fail(lineOf(*rules.node()), "'rule' must be [[rule]] tables");
    for (const toml::node& node : *list) {
      if (const toml::table* table = node.as_table()) {
        readRule(*table);
      } else {
        fail(lineOf(node), "'rule' must be [[rule]] tables");
      }
    }
  }

 private:
  void fail(int line, std::string message) { file.errors.push_back({line, std::move(message)}); }

  bool text(const toml::node& node, std::string_view key, std::string& out) {
    if (const auto* value = node.as_string()) {
      out = value->get();
      return true;
    }
    fail(lineOf(node), std::string(key) + " must be a string in quotes");
    return false;
  }

  bool textList(const toml::node& node, std::string_view key, std::vector<std::string>& out) {
    if (node.is_string()) return text(node, key, out.emplace_back());
    const toml::array* list = node.as_array();
    if (list == nullptr) {
      fail(lineOf(node), std::string(key) + " must be a string or a list of strings");
      return false;
    }
    for (const toml::node& item : *list) {
      if (!text(item, key, out.emplace_back())) return false;
    }
    return true;
  }

  void textTable(const toml::node& node, std::string_view key,
                 std::map<std::string, std::string>& out) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return fail(lineOf(node), std::string(key) + " must be a table");
    for (const auto& [name, value] : *table) {
      std::string error;
      if (text(value, std::string(key) + "." + std::string(name.str()),
               out[std::string(name.str())]) &&
          !checkTemplate(out[std::string(name.str())], error)) {
        fail(lineOf(value), std::string(key) + "." + std::string(name.str()) + ": " + error);
      }
    }
  }

  void readRule(const toml::table& table) {
    Rule rule;
    rule.line = lineOf(table);
    const std::size_t errorsBefore = file.errors.size();
    int conditionLine = rule.line;
    bool hasCondition = false;
    for (const auto& [keyName, value] : table) {
      const std::string key(keyName.str());
      const int line = lineOf(value);
      std::string error;
      if (key == "name") {
        text(value, key, rule.name);
      } else if (key == "targets") {
        textList(value, key, rule.targets);
      } else if (key == "components") {
        textList(value, key, rule.components);
      } else if (key == "min_level") {
        if (const auto* number = value.as_integer()) {
          if (number->get() < 0 || number->get() > 31)
            fail(line, "min_level must be 0-31 or a level name");
          rule.minLevel = std::to_string(number->get());
        } else {
          text(value, key, rule.minLevel);
        }
      } else if (key == "grep") {
        if (text(value, key, rule.grep)) checkRegex(key, rule.grep, line);
      } else if (key == "exclude") {
        if (text(value, key, rule.exclude)) checkRegex(key, rule.exclude, line);
      } else if (key == "ignore_case") {
        if (const auto* flag = value.as_boolean()) {
          rule.ignoreCase = flag->get();
        } else {
          fail(line, "ignore_case must be true or false");
        }
      } else if (key == "match") {
        if (text(value, key, rule.match)) checkTextQuery(rule.match, line);
      } else if (key == "condition") {
        hasCondition = true;
        conditionLine = line;
        std::string condition;
        if (text(value, key, condition) && !parseCondition(condition, rule.condition, error))
          fail(line, "condition: " + error);
      } else if (key == "for") {
        std::string holdFor;
        if (text(value, key, holdFor) && !parseWindow(holdFor, rule.holdFor, error))
          fail(line, "for: " + error);
      } else if (key == "labels") {
        textTable(value, key, rule.labels);
      } else if (key == "annotations") {
        textTable(value, key, rule.annotations);
      } else {
        fail(line, "unknown key '" + key +
                       "' (a rule has name, targets, components, min_level, grep, exclude, "
                       "ignore_case, match, condition, for, labels, annotations)");
      }
    }
    if (rule.name.empty()) fail(rule.line, "rule without a name");
    if (!hasCondition) fail(rule.line, "rule '" + rule.name + "' has no condition");
    const bool selects = !rule.components.empty() || !rule.minLevel.empty() || !rule.grep.empty() ||
                         !rule.exclude.empty() || !rule.match.empty();
    if (hasCondition && selects && !rule.condition.selectsRecords() &&
        !(rule.condition.kind == Condition::Kind::kLevelNotRestored && rule.minLevel.empty() &&
          rule.grep.empty() && rule.exclude.empty() && rule.match.empty())) {
      fail(conditionLine,
           "this condition looks at targets, not at records: only 'targets' selects for it");
    }
    if (!rule.name.empty() && !names.insert(rule.name).second)
      fail(rule.line, "a second rule named '" + rule.name + "'");
    if (file.errors.size() == errorsBefore) file.rules.push_back(std::move(rule));
  }

  void checkRegex(std::string_view key, const std::string& pattern, int line) {
    const std::string problem = remote::regexProblem(pattern);
    if (!problem.empty())
      fail(line, std::string(key) + ": '" + pattern + "' is no regular expression: " + problem);
  }

  void checkTextQuery(const std::string& query, int line) {
    try {
      (void)remote::TextQuery(query);
    } catch (const std::invalid_argument& error) {
      fail(line, "match: '" + query + "' is no full-text query: " + error.what());
    }
  }

  RuleFile& file;
  std::set<std::string, std::less<>> names;
};

}  // namespace

bool parseCondition(const std::string& text, Condition& condition, std::string& error) {
  const std::vector<std::string> w = words(text);
  const auto is = [&](std::initializer_list<const char*> expected) {
    if (w.size() < expected.size()) return false;
    std::size_t i = 0;
    for (const char* word : expected) {
      if (word != nullptr && w[i] != word) return false;
      ++i;
    }
    return true;
  };
  using Kind = Condition::Kind;
  Condition c;
  if (w.size() == 5 && is({"count", ">=", nullptr, "within", nullptr})) {
    c.kind = Kind::kCount;
    if (!parseCount(w[2], c.threshold, error) || !parseWindow(w[4], c.window, error)) return false;
    if (c.threshold < 1) return error = "count >= needs at least 1 record", false;
  } else if (w.size() == 5 && is({"lost", ">=", nullptr, "within", nullptr})) {
    c.kind = Kind::kLost;
    if (!parseCount(w[2], c.threshold, error) || !parseWindow(w[4], c.window, error)) return false;
    if (c.threshold < 1) return error = "lost >= needs at least 1 record", false;
  } else if (w.size() == 5 && w[0] == "rate" && (w[1] == ">" || w[1] == "<") && w[3] == "over") {
    c.kind = w[1] == ">" ? Kind::kRateAbove : Kind::kRateBelow;
    if (!parseRate(w[2], c.threshold, error) || !parseWindow(w[4], c.window, error)) return false;
  } else if (w.size() == 3 && is({"absent", "for", nullptr})) {
    c.kind = Kind::kAbsent;
    if (!parseWindow(w[2], c.window, error)) return false;
  } else if (w.size() == 2 && is({"target", "gone"})) {
    c.kind = Kind::kTargetGone;
  } else if ((w.size() == 2 || w.size() == 4) && is({"target", "restarted"})) {
    c.kind = Kind::kTargetRestarted;
  } else if ((w.size() == 3 || w.size() == 5) && is({"level", "not", "restored"})) {
    c.kind = Kind::kLevelNotRestored;
  } else {
    error = "'" + text + "' is none of " + kConditionForms;
    return false;
  }
  if (c.kind == Kind::kTargetRestarted || c.kind == Kind::kLevelNotRestored) {
    const std::size_t at = c.kind == Kind::kTargetRestarted ? 2 : 3;
    c.window = kDefaultEventHold;
    if (w.size() > at) {
      if (w[at] != "within") return error = "'" + text + "' is none of " + kConditionForms, false;
      if (!parseWindow(w[at + 1], c.window, error)) return false;
    }
  }
  condition = c;
  return true;
}

RuleFile parseRules(const std::string& text, const std::string& name) {
  RuleFile file;
  toml::table root;
  if (!config::parseToml(text, name, root, file.errors)) return file;
  RuleReader(file).read(root);
  config::sortByLine(file.errors);
  if (!file.errors.empty()) file.rules.clear();
  return file;
}

RuleFile readRules(const std::string& path) {
  const auto text = config::readWholeFile(path);
  if (!text) return RuleFile{{}, {{0, "cannot read " + path}}};
  return parseRules(*text, path);
}

std::string expandTemplate(const std::string& text, const TemplateValues& values) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t at = text.find("{{"); at != std::string::npos; at = text.find("{{", from)) {
    const auto end = text.find("}}", at);
    if (end == std::string::npos) break;
    out.append(text, from, at - from);
    const std::string_view name(text.data() + at + 2, end - at - 2);
    if (name == "target") {
      out += values.target;
    } else if (name == "component") {
      out += values.component;
    } else if (name == "text") {
      out += values.text;
    } else if (name == "count") {
      out += std::to_string(values.count);
    } else {
      out.append(text, at, end + 2 - at);
    }
    from = end + 2;
  }
  out.append(text, from);
  return out;
}

}  // namespace alerts
