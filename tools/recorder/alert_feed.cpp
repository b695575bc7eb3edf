// tools/recorder/alert_feed.cpp
//
// Alert rules on a recorder's entries; see alert_feed.h.
//
// Threads: the follower's thread.
#include "recorder/alert_feed.h"

#include <regex.h>

#include <CLI/CLI.hpp>

#include "base/note.h"
#include "base/tool_error.h"

namespace remote {
namespace {

constexpr std::chrono::seconds kEvaluateEvery{1};

std::vector<alerts::Rule> loadRules(const std::string& path) {
  alerts::RuleFile file = alerts::readRules(path);
  if (!file.errors.empty()) {
    throw ToolError{kExitUsage, "--alerts: " + config::describeMistakes(path, file.errors) +
                                    "\n(tarvin-remote alerts check " + path + " lists them too)"};
  }
  return std::move(file.rules);
}

alerts::NotifierOptions notifyOptions(const std::vector<std::string>& notify) {
  alerts::NotifierOptions options;
  for (const std::string& text : notify) {
    alerts::Destination destination;
    std::string error;
    if (!alerts::parseDestination(text, destination, error))
      throw ToolError{kExitUsage, "--notify: " + error};
    options.destinations.push_back(destination);
  }
  return options;
}

alerts::Time toTime(SystemClock::time_point at) {
  return alerts::Time(std::chrono::duration_cast<alerts::Clock::duration>(at.time_since_epoch()));
}

// "alert 'db errors' firing for 127.0.0.1:57008: 12 errors from db"
std::string describe(const alerts::Alert& alert, bool firing) {
  const auto summary = alert.annotations.find("summary");
  return "alert '" + alert.rule + "' " + (firing ? "firing" : "resolved") + " for " + alert.target +
         (summary != alert.annotations.end() ? ": " + summary->second : "");
}

}  // namespace

struct AlertFeed::AnyGrep {
  explicit AnyGrep(const std::string& alternation) {
    compiled = ::regcomp(&regex, alternation.c_str(), REG_EXTENDED | REG_NOSUB) == 0;
  }
  ~AnyGrep() {
    if (compiled) ::regfree(&regex);
  }
  // Whether some pattern may match a field of the record (true when the
  // alternation did not compile: then every rule tries its own).
  bool mayMatch(const codec::LogRecord& record) const {
    if (!compiled) return true;
    for (const std::string* field : {&record.text(), &record.function(), &record.file()}) {
      if (::regexec(&regex, field->c_str(), 0, nullptr, 0) == 0) return true;
    }
    return false;
  }
  regex_t regex;
  bool compiled = false;
};

void addAlertOptions(CLI::App& command, AlertFlags& flags) {
  command
      .add_option("--alerts", flags.rules,
                  "Alert rules (TOML) run on every record as it is stored; check a file with "
                  "'tarvin-remote alerts check FILE'")
      ->type_name("FILE");
  command
      .add_option("--notify", flags.notify,
                  "Where alerts go: alertmanager=http://HOST:PORT, webhook=URL or "
                  "command=COMMAND (repeatable); without it they are only said on stderr")
      ->type_name("DEST")
      ->allow_extra_args(false)  // one destination each: the words after it are targets
      ->needs("--alerts");
}

AlertFeed::AlertFeed(const AlertFlags& flags)
    : engine(loadRules(flags.rules)),
      off(engine.rules().size(), false),
      notifier(notifyOptions(flags.notify)),
      nextEvaluation(Clock::now() + kEvaluateEvery) {
  for (const alerts::Rule& rule : engine.rules()) {
    if (!rule.condition.selectsRecords()) {
      filters.push_back(nullptr);
      textQueries.push_back(nullptr);
      continue;
    }
    FilterFlags selector;
    selector.components = rule.components;
    selector.minLevel = rule.minLevel;
    if (!rule.grep.empty()) selector.match.grep.push_back(rule.grep);
    if (!rule.exclude.empty()) selector.match.exclude.push_back(rule.exclude);
    selector.match.ignoreCase = rule.ignoreCase;
    filters.push_back(std::make_unique<RecordFilter>(selector));
    // readRules() refused a query that does not parse.
    textQueries.push_back(rule.match.empty() ? nullptr : std::make_unique<TextQuery>(rule.match));
  }
  std::string alternation;
  for (const alerts::Rule& rule : engine.rules()) {
    // Without case, a rule's grep is left to its own filter.
    if (rule.grep.empty() || rule.ignoreCase || !rule.condition.selectsRecords()) continue;
    alternation += (alternation.empty() ? "(" : "|(") + rule.grep + ")";
  }
  if (!alternation.empty()) anyGrep = std::make_unique<AnyGrep>(alternation);
}

AlertFeed::~AlertFeed() = default;

void AlertFeed::onStoredRecord(const store::StoredRecord& stored, const Levels& levels) {
  const codec::LogRecord& record = stored.arrived.record;
  const std::string& target = stored.arrived.source;
  const alerts::Time at = toTime(stored.arrived.receivedAt);
  const auto [known, added] = instanceOf.try_emplace(target, record.uuid);
  if (!added && known->second != record.uuid) {
    known->second = record.uuid;
    engine.targetRestarted(target, stored.applicationName, at);
  }
  const codec::LogRecordView view(record);
  const bool grepMayMatch = !anyGrep || anyGrep->mayMatch(record);
  bool tokenized = false;
  for (std::size_t i = 0; i < filters.size(); ++i) {
    if (!filters[i] || off[i] || !engine.watches(i, target, stored.applicationName)) continue;
    const alerts::Rule& rule = engine.rules()[i];
    if (!grepMayMatch && !rule.grep.empty() && !rule.ignoreCase) continue;
    try {
      if (!filters[i]->wanted(view, levels)) continue;
    } catch (const ToolError& error) {
      // A level name no target has: the rule can never match; say so once.
      off[i] = true;
      note("alert rule '" + engine.rules()[i].name + "' is off: " + error.message);
      continue;
    }
    if (textQueries[i]) {
      // The record's words are split once, for the first rule that asks.
      if (!tokenized) {
        words.assign(record.text(), record.function(), record.file(), record.component());
        tokenized = true;
      }
      if (!textQueries[i]->matches(words)) continue;
    }
    engine.selected(i, alerts::Subject{target, stored.applicationName, record.component(),
                                       record.text(), record.sequence, at});
  }
}

void AlertFeed::onStoredGap(const store::StoredGap& gap) {
  engine.recordsLost(gap.target, gap.applicationName, gap.gap.count, toTime(gap.seenAt));
}

void AlertFeed::onConfirmed(const FollowedTarget& target) {
  engine.targetSeen(target.label, target.applicationName, alerts::Clock::now());
}

void AlertFeed::onTargetDropped(const FollowedTarget& target) {
  engine.targetGone(target.label, target.applicationName, alerts::Clock::now());
}

void AlertFeed::onKernelDrops(std::int64_t total) {
  if (total > kernelDrops) {
    // The kernel does not say whose datagrams it dropped.
    engine.recordsLost("*", "", static_cast<std::uint64_t>(total - kernelDrops),
                       alerts::Clock::now());
  }
  kernelDrops = total;
}

Clock::time_point AlertFeed::nextDeadline(Clock::time_point next) const {
  return std::min(next, nextEvaluation);
}

void AlertFeed::onTimers(Clock::time_point now) {
  if (now < nextEvaluation) return;
  nextEvaluation = now + kEvaluateEvery;
  evaluate(alerts::Clock::now());
}

void AlertFeed::evaluate(alerts::Time now) {
  const std::vector<alerts::Transition> changes = engine.evaluate(now);
  for (const alerts::Transition& change : changes) {
    const bool firing = change.kind == alerts::Transition::Kind::kFiring;
    if (firing) ++fired;
    note(describe(change.alert, firing));
    notifier.post(change);
    recentChanges.push_back(change);
    if (recentChanges.size() > kRecent) recentChanges.pop_front();
    ++changeCount;
  }
  if (!changes.empty()) notifier.setFiring(engine.firing());
}

std::string AlertFeed::json() const {
  std::string out = "{\"firing\":[";
  bool first = true;
  for (const alerts::Alert& alert : engine.firing()) {
    out += (first ? "" : ",") + alerts::alertJson(alert, /*firing=*/true);
    first = false;
  }
  out += "],\"recent\":[";
  first = true;
  for (const alerts::Transition& change : recentChanges) {
    out += (first ? "" : ",") +
           alerts::alertJson(change.alert, change.kind == alerts::Transition::Kind::kFiring);
    first = false;
  }
  return out + "]}";
}

void AlertFeed::finish() {
  evaluate(alerts::Clock::now());
  notifier.drain(std::chrono::seconds(5));
}

std::string AlertFeed::summary() const {
  const alerts::NotifierStats stats = notifier.stats();
  std::string text = std::to_string(fired) + (fired == 1 ? " alert fired" : " alerts fired");
  text += ", " + std::to_string(stats.sent) + " notifications sent";
  if (stats.dropped > 0) text += ", " + std::to_string(stats.dropped) + " NOT delivered";
  if (stats.queued > 0) text += ", " + std::to_string(stats.queued) + " still queued";
  return text;
}

}  // namespace remote
