// tools/alerts/alert_engine.cpp
//
// The conditions of alert_rules.h over time, one instance per rule and
// target.
//
// Threads: see alert_engine.h.
#include "alerts/alert_engine.h"

#include <algorithm>

namespace alerts {
namespace {

using Kind = Condition::Kind;

Time secondOf(Time at) { return std::chrono::floor<std::chrono::seconds>(at); }

// The sum of the hits within `window` before `now`: the older ones are
// dropped from `hits` and from their sum `held`.
std::uint64_t sumWithin(std::deque<std::pair<Time, std::uint64_t>>& hits, std::uint64_t& held,
                        Time now, Duration window) {
  while (!hits.empty() && hits.front().first <= now - window) {
    held -= hits.front().second;
    hits.pop_front();
  }
  return held;
}

double perSecond(std::uint64_t count, Duration window) {
  return static_cast<double>(count) / std::chrono::duration<double>(window).count();
}

bool isEvent(Kind kind) {
  return kind == Kind::kTargetRestarted || kind == Kind::kLevelNotRestored;
}

}  // namespace

Engine::Engine(std::vector<Rule> rules) : ruleList(std::move(rules)), instances(ruleList.size()) {}

bool Engine::watches(std::size_t index, const std::string& target,
                     const std::string& application) const {
  const Rule& rule = ruleList[index];
  if (rule.targets.empty()) return true;
  return std::any_of(rule.targets.begin(), rule.targets.end(), [&](const std::string& glob) {
    return config::globMatches(glob, target) ||
           (!application.empty() && config::globMatches(glob, application));
  });
}

Engine::Instance& Engine::instance(std::size_t index, const std::string& target, Time at) {
  auto [it, added] = instances[index].try_emplace(target);
  if (added) {
    it->second.watchedSince = at;
    it->second.lastSeen = at;
    it->second.last.target = target;
  }
  return it->second;
}

template <typename Each>
void Engine::forEachWatching(const std::string& target, const std::string& application, Each each) {
  for (std::size_t i = 0; i < ruleList.size(); ++i) {
    if (watches(i, target, application)) each(i, ruleList[i]);
  }
}

Engine::Instance* Engine::selected(std::size_t index, const SubjectView& record, Instance* known) {
  const Rule& rule = ruleList[index];
  Instance& state =
      known != nullptr ? *known : instance(index, std::string(record.target), record.received);
  const Condition& c = rule.condition;
  // Whether the condition may hold at the next evaluate() without another
  // record: only then is the record kept as the one an alert shows. A
  // count or a rate above holds only once enough records came, and the
  // last of them is kept; the many before are not copied.
  bool shown = true;
  switch (c.kind) {
    case Kind::kCount:
      state.times.push_back(record.received);
      if (state.times.size() > static_cast<std::size_t>(c.threshold)) state.times.pop_front();
      shown = static_cast<double>(state.times.size()) >= c.threshold;
      break;
    case Kind::kRateAbove:
    case Kind::kRateBelow: {
      const Time second = secondOf(record.received);
      if (!state.hits.empty() && state.hits.back().first == second) {
        ++state.hits.back().second;
      } else {
        state.hits.emplace_back(second, 1);
      }
      ++state.held;
      shown = c.kind == Kind::kRateBelow || perSecond(state.held, c.window) > c.threshold;
      break;
    }
    case Kind::kAbsent:
      state.lastSeen = std::max(state.lastSeen, record.received);
      break;
    default:
      break;  // the event conditions select no records
  }
  if (shown) {
    // The target is the instance's own, and its application name changes
    // only when it is renamed.
    Subject& last = state.last;
    if (last.application != record.application) last.application = record.application;
    last.component = record.component;
    last.text = record.text;
    last.sequence = record.sequence;
    last.received = record.received;
  }
  return &state;
}

void Engine::targetSeen(const std::string& target, const std::string& application, Time at) {
  forEachWatching(target, application, [&](std::size_t i, const Rule& rule) {
    const Kind kind = rule.condition.kind;
    if (kind == Kind::kAbsent || kind == Kind::kRateBelow || kind == Kind::kTargetGone) {
      Instance& state = instance(i, target, at);
      if (kind == Kind::kTargetGone) state.gone = false;
    }
  });
}

void Engine::targetGone(const std::string& target, const std::string& application, Time at) {
  forEachWatching(target, application, [&](std::size_t i, const Rule& rule) {
    if (rule.condition.kind != Kind::kTargetGone) return;
    Instance& state = instance(i, target, at);
    state.gone = true;
    state.eventAt = at;
    state.last = Subject{target, application, "", "stopped answering", 0, at};
  });
}

void Engine::targetRestarted(const std::string& target, const std::string& application, Time at) {
  forEachWatching(target, application, [&](std::size_t i, const Rule& rule) {
    if (rule.condition.kind != Kind::kTargetRestarted) return;
    Instance& state = instance(i, target, at);
    state.eventAt = at;
    ++state.count;
    state.last = Subject{target, application, "", "restarted", 0, at};
  });
}

void Engine::recordsLost(const std::string& target, const std::string& application,
                         std::uint64_t count, Time at) {
  forEachWatching(target, application, [&](std::size_t i, const Rule& rule) {
    if (rule.condition.kind != Kind::kLost) return;
    Instance& state = instance(i, target, at);
    state.hits.emplace_back(at, count);
    state.held += count;
    state.last = Subject{target, application, "", std::to_string(count) + " records lost", 0, at};
  });
}

void Engine::levelNotRestored(const std::string& target, const std::string& application,
                              const std::string& component, Time at) {
  forEachWatching(target, application, [&](std::size_t i, const Rule& rule) {
    if (rule.condition.kind != Kind::kLevelNotRestored) return;
    if (!rule.components.empty() && std::find(rule.components.begin(), rule.components.end(),
                                              component) == rule.components.end())
      return;
    Instance& state = instance(i, target, at);
    state.eventAt = at;
    ++state.count;
    state.last = Subject{target, application, component, "temporary level not restored", 0, at};
  });
}

bool Engine::holds(const Rule& rule, Instance& state, Time now) const {
  const Condition& c = rule.condition;
  switch (c.kind) {
    case Kind::kCount: {
      while (!state.times.empty() && state.times.front() <= now - c.window) state.times.pop_front();
      state.count = state.times.size();
      return static_cast<double>(state.times.size()) >= c.threshold;
    }
    case Kind::kRateAbove:
    case Kind::kRateBelow: {
      state.count = sumWithin(state.hits, state.held, now, c.window);
      const double rate = perSecond(state.count, c.window);
      if (c.kind == Kind::kRateAbove) return rate > c.threshold;
      return rate < c.threshold && now - state.watchedSince >= c.window;
    }
    case Kind::kAbsent:
      return now - state.lastSeen >= c.window;
    case Kind::kLost:
      state.count = sumWithin(state.hits, state.held, now, c.window);
      return static_cast<double>(state.count) >= c.threshold;
    case Kind::kTargetGone:
      return state.gone;
    case Kind::kTargetRestarted:
    case Kind::kLevelNotRestored:
      return state.eventAt != Time{} && now - state.eventAt < c.window;
  }
  return false;
}

Alert Engine::makeAlert(const Rule& rule, const std::string& target, const Instance& state) const {
  Alert alert;
  alert.rule = rule.name;
  alert.target = target;
  alert.count = state.count;
  alert.last = state.last;
  const TemplateValues values{target, state.last.component, state.last.text, state.count};
  alert.labels["alertname"] = rule.name;
  alert.labels["target"] = target;
  for (const auto& [name, value] : rule.labels) alert.labels[name] = expandTemplate(value, values);
  for (const auto& [name, value] : rule.annotations)
    alert.annotations[name] = expandTemplate(value, values);
  return alert;
}

std::vector<Transition> Engine::evaluate(Time now) {
  std::vector<Transition> changes;
  for (std::size_t i = 0; i < ruleList.size(); ++i) {
    const Rule& rule = ruleList[i];
    for (auto& [target, state] : instances[i]) {
      if (!holds(rule, state, now)) {
        state.pending = false;
        if (state.firing) {
          state.firing = false;
          state.alert.endsAt = now;
          changes.push_back({Transition::Kind::kResolved, state.alert});
        }
        continue;
      }
      if (state.firing) {
        // Keep what it shows current; its identity (labels) stays.
        const Alert current = makeAlert(rule, target, state);
        state.alert.annotations = current.annotations;
        state.alert.count = current.count;
        state.alert.last = current.last;
        continue;
      }
      if (!state.pending) {
        state.pending = true;
        // An event starts its `for` when it happened, not when it was seen.
        state.pendingSince = isEvent(rule.condition.kind) ? state.eventAt : now;
      }
      if (now - state.pendingSince >= rule.holdFor) {
        state.firing = true;
        state.alert = makeAlert(rule, target, state);
        state.alert.startsAt = now;
        changes.push_back({Transition::Kind::kFiring, state.alert});
      }
    }
  }
  return changes;
}

std::vector<Alert> Engine::firing() const {
  std::vector<Alert> out;
  for (const auto& perRule : instances) {
    for (const auto& [target, state] : perRule) {
      if (state.firing) out.push_back(state.alert);
    }
  }
  return out;
}

}  // namespace alerts
