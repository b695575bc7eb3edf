// tools/recorder/alert_feed.cpp
//
// Alert rules on a recorder's entries; see alert_feed.h.
//
// Threads: the follower's thread.
#include "recorder/alert_feed.h"

#include <regex.h>

#include <algorithm>

#include <CLI/CLI.hpp>

#include "base/note.h"
#include "base/tool_error.h"

namespace remote {
namespace {

constexpr std::chrono::seconds kEvaluateEvery{1};

std::vector<alerts::Rule> loadRules(const std::string& path) {
  alerts::RuleFile file = alerts::readRules(path);
  if (!file.errors.empty()) {
    throw ToolError{ErrorKind::kBadInput,
                    "--alerts: " + config::describeMistakes(path, file.errors) +
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
      throw ToolError{ErrorKind::kBadInput, "--notify: " + error};
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
  // Which of the record's text, function and file (bits 0, 1, 2) some
  // pattern may match (all three when the alternation did not compile:
  // then every rule tries its own).
  unsigned fields(const codec::LogRecord& record) const {
    if (!compiled) return 7;
    unsigned matched = 0;
    unsigned bit = 1;
    for (const std::string* field : {&record.text(), &record.function(), &record.file()}) {
      if (::regexec(&regex, field->c_str(), 0, nullptr, 0) == 0) matched |= bit;
      bit <<= 1;
    }
    return matched;
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
                  "Where alerts go: alertmanager=http://HOST:PORT, webhook=URL, "
                  "command=COMMAND or syslog=udp://HOST:PORT / tcp://HOST:PORT (repeatable); "
                  "without it they are only said on stderr")
      ->type_name("DEST")
      ->allow_extra_args(false)  // one destination each: the words after it are targets
      ->needs("--alerts");
}

AlertFeed::AlertFeed(const AlertFlags& flags)
    : engine(loadRules(flags.rules)),
      off(engine.rules().size(), false),
      notifier(notifyOptions(flags.notify)),
      nextEvaluation(Clock::now() + kEvaluateEvery) {
  std::string alternation;
  for (std::size_t i = 0; i < engine.rules().size(); ++i) {
    const alerts::Rule& rule = engine.rules()[i];
    if (!rule.condition.selectsRecords()) continue;
    Selector selector;
    selector.rule = i;
    if (!rule.minLevel.empty()) {
      FilterFlags level;
      level.minLevel = rule.minLevel;
      selector.levels = std::make_unique<RecordFilter>(level);
    }
    // readRules() refused an expression or a query that does not compile.
    if (!rule.grep.empty()) {
      selector.grep = std::make_unique<RecordMatch>(
          MatchFlags{.grep = {rule.grep}, .ignoreCase = rule.ignoreCase});
      // A case-sensitive grep with required literals is ruled out by the
      // one scan for every rule's literals.
      if (!rule.ignoreCase) selector.required = literals.add(rule.grep);
      // Without case, matching an empty field, or with a back-reference
      // (whose number would change in the alternation), a grep is left to
      // itself; so is one whose required literals rule out most fields.
      bool backReference = false;
      for (std::size_t at = 0; (at = rule.grep.find('\\', at)) != std::string::npos; at += 2)
        backReference |=
            at + 1 < rule.grep.size() && rule.grep[at + 1] >= '1' && rule.grep[at + 1] <= '9';
      selector.narrowed = !rule.ignoreCase && !backReference && selector.required.mask == 0 &&
                          !selector.grep->prefiltered() && !selector.grep->wanted("", "", "");
      if (selector.narrowed) alternation += (alternation.empty() ? "(" : "|(") + rule.grep + ")";
    }
    if (!rule.exclude.empty()) {
      selector.exclude = std::make_unique<RecordMatch>(
          MatchFlags{.grep = {rule.exclude}, .ignoreCase = rule.ignoreCase});
    }
    if (!rule.match.empty()) selector.text = std::make_unique<TextQuery>(rule.match);
    selectors.push_back(std::move(selector));
  }
  if (!alternation.empty()) anyGrep = std::make_unique<AnyGrep>(alternation);
}

AlertFeed::~AlertFeed() = default;

AlertFeed::Watching& AlertFeed::watchingFor(const std::string& target,
                                            const std::string& application) {
  if (lastWatched == nullptr || lastWatched->first != target) {
    lastWatched = &*watching.try_emplace(target).first;
  }
  Watching& watched = lastWatched->second;
  if (watched.application != application) {
    // Renamed: its `targets` globs may say otherwise now.
    watched.application = application;
    watched.byComponent.clear();
  }
  return watched;
}

AlertFeed::Route& AlertFeed::routeFor(Watching& watched, const std::string& target,
                                      const std::string& application,
                                      const std::string& component) {
  const auto known = watched.byComponent.find(component);
  if (known != watched.byComponent.end()) return known->second;
  Route& route = watched.byComponent[component];
  for (std::size_t s = 0; s < selectors.size(); ++s) {
    const alerts::Rule& rule = engine.rules()[selectors[s].rule];
    const bool takes = rule.components.empty() ||
                       std::find(rule.components.begin(), rule.components.end(), component) !=
                           rule.components.end();
    if (takes && engine.watches(selectors[s].rule, target, application))
      route.steps.push_back({.selector = s});
  }
  return route;
}

// Per record: the rules its target and component can concern, found once
// for them; each rule's level check on the record's level alone once its
// min_level is settled; one scan of the fields for every grep's literals
// (file and function only when they changed), after which a grep whose
// literals are absent is out and one that is only its literals is in,
// both without regexec(); the words split once, and the record copied only
// into the instances it counts for; nothing allocated once the buffers
// grew.
void AlertFeed::onStoredRecord(const store::StoredRecord& stored, const Levels& levels) {
  const codec::LogRecord& record = stored.arrived.record;
  const std::string& target = stored.arrived.source;
  const alerts::Time at = toTime(stored.arrived.receivedAt);
  Watching& watched = watchingFor(target, stored.applicationName);
  if (!watched.instance) {
    watched.instance = record.uuid;
  } else if (*watched.instance != record.uuid) {
    watched.instance = record.uuid;
    engine.targetRestarted(target, stored.applicationName, at);
  }
  Route& route = routeFor(watched, target, stored.applicationName, record.component());
  if (route.steps.empty()) return;
  if (route.levelsOf != record.uuid) {
    // Another instance may name its levels otherwise.
    for (Route::Step& step : route.steps) step.minimum = Route::kUnsettled;
    route.levelsOf = record.uuid;
  }
  const int level = recordClientLevel(record.clientMask);
  const alerts::SubjectView subject{target,        stored.applicationName, record.component(),
                                    record.text(), record.sequence,        at};
  constexpr unsigned kUnknown = 8;
  unsigned grepFields = kUnknown;
  bool textScanned = false;
  alerts::LiteralScan::Hits textHits = 0;
  bool tokenized = false;
  for (Route::Step& step : route.steps) {
    Selector& selector = selectors[step.selector];
    if (off[selector.rule]) continue;
    if (selector.levels) {
      if (step.minimum == Route::kUnsettled) {
        bool wanted = false;
        try {
          wanted = selector.levels->wanted(codec::LogRecordView(record), levels);
        } catch (const ToolError& error) {
          // A level name no target has: the rule can never match; say so once.
          off[selector.rule] = true;
          note("alert rule '" + engine.rules()[selector.rule].name + "' is off: " + error.message);
          continue;
        }
        step.minimum = selector.levels->settledMinimum(levels).value_or(Route::kUnsettled);
        if (!wanted) continue;
      } else if (step.minimum >= 0 && level >= 0 && level < step.minimum) {
        continue;  // as RecordFilter: higher client levels are the more severe
      }
    }
    if (selector.grep) {
      std::string_view text = record.text(), function = record.function(), file = record.file();
      if (selector.required.mask != 0) {
        if (!route.scanned || route.file != file || route.function != function) {
          route.file = file;
          route.function = function;
          route.fileHits = literals.scan(file);
          route.functionHits = literals.scan(function);
          route.scanned = true;
        }
        if (!textScanned) {
          textHits = literals.scan(text);
          textScanned = true;
        }
        const alerts::LiteralScan::Hits mine = selector.required.mask;
        if (((textHits | route.fileHits | route.functionHits) & mine) == 0) continue;
        // A field without any of the literals cannot match: left out (empty).
        if ((textHits & mine) == 0) text = {};
        if ((route.functionHits & mine) == 0) function = {};
        if ((route.fileHits & mine) == 0) file = {};
        if (!selector.required.exact && !selector.grep->wanted(text, function, file)) continue;
      } else {
        if (selector.narrowed) {
          if (grepFields == kUnknown) grepFields = anyGrep ? anyGrep->fields(record) : 7;
          if (grepFields == 0) continue;
          // A field no grep matches is left out (empty): the rule's own
          // does not match an empty field either.
          if ((grepFields & 1) == 0) text = {};
          if ((grepFields & 2) == 0) function = {};
          if ((grepFields & 4) == 0) file = {};
        }
        if (!selector.grep->wanted(text, function, file)) continue;
      }
    }
    if (selector.exclude &&
        selector.exclude->wanted(record.text(), record.function(), record.file()))
      continue;
    if (selector.text) {
      if (!tokenized) {
        words.assign(record.text(), record.function(), record.file(), record.component());
        tokenized = true;
      }
      if (!selector.text->matches(words)) continue;
    }
    step.instance = engine.selected(selector.rule, subject, step.instance);
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

void AlertFeed::onLevelNotRestored(const std::string& target, const std::string& application,
                                   const std::string& component) {
  engine.levelNotRestored(target, application, component, alerts::Clock::now());
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
