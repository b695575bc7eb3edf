// tools/alerts/alert_engine.h
//
// The state of every alert rule, one instance per rule and target: what a
// follower tells it (records a rule's selector picked, losses, targets
// gone, restarted, seen, temporary levels not restored) and, on each
// evaluate(), which alerts started firing and which resolved.
//
// An instance whose condition holds is pending until it has held for the
// rule's `for`, then firing; it resolves on the first evaluate() at which
// the condition no longer holds. Memory per instance is bounded by the
// rule: a count keeps its last N times, a rate one counter a second of its
// window, a loss one entry a report within its window.
//
// The engine applies no selector itself: the caller matches records with
// the same filter its commands use and reports the rules that picked one,
// so a rule selects exactly what `tail` with those options shows.
//
// Threads: an engine belongs to one thread (the follower's).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "alerts/alert_rules.h"

namespace alerts {

using Clock = std::chrono::system_clock;
using Time = Clock::time_point;

// What an alert says about where it comes from: the record that last
// counted for it ("view in context" finds it by target and sequence).
struct Subject {
  std::string target;       // address, as the tools name targets
  std::string application;  // the target's application name
  std::string component;
  std::string text;
  std::uint32_t sequence = 0;
  Time received{};
};

// A record as selected() reads it: views into the caller's record, copied
// only into the instances it counts for.
struct SubjectView {
  std::string_view target;
  std::string_view application;
  std::string_view component;
  std::string_view text;
  std::uint32_t sequence = 0;
  Time received{};
};

struct Alert {
  std::string rule;
  std::string target;
  std::map<std::string, std::string> labels;       // alertname, target, the rule's own
  std::map<std::string, std::string> annotations;  // templates filled in
  Time startsAt{};
  Time endsAt{};  // the epoch while firing
  std::uint64_t count = 0;
  Subject last;  // the record or event that last counted
};

struct Transition {
  enum class Kind { kFiring, kResolved };
  Kind kind;
  Alert alert;
};

class Engine {
 public:
  explicit Engine(std::vector<Rule> rules);

  const std::vector<Rule>& rules() const { return ruleList; }
  // Whether rule `index` wants records of this target (its `targets`
  // globs, on the address or the application name).
  bool watches(std::size_t index, const std::string& target, const std::string& application) const;

  // The state of one rule for one target. Callers only hold a pointer:
  // the records a rule picks go to it without a lookup each.
  struct Instance {
    Time watchedSince{};
    std::deque<Time> times;                           // count: the last N selections
    std::deque<std::pair<Time, std::uint64_t>> hits;  // rate and lost: per second, or per report
    std::uint64_t held = 0;                           // the sum of `hits`
    Time lastSeen{};                                  // absent: the last selection
    Time eventAt{};                                   // events: the last one
    bool gone = false;
    Subject last;
    std::uint64_t count = 0;  // what {{count}} shows
    bool pending = false;
    Time pendingSince{};
    bool firing = false;
    Alert alert;
  };
  // A record that rule `index`'s selector picked; returns the rule's
  // instance for its target, to be given back as `known` with the next
  // record of that target (valid as long as the engine).
  Instance* selected(std::size_t index, const SubjectView& record, Instance* known = nullptr);
  Instance* selected(std::size_t index, const Subject& record) {
    return selected(index, SubjectView{record.target, record.application, record.component,
                                       record.text, record.sequence, record.received});
  }
  // A target answered (its first record or a renewal): the rules that wait
  // for an absence or a low rate start watching it, and a target gone is
  // back.
  void targetSeen(const std::string& target, const std::string& application, Time at);
  void targetGone(const std::string& target, const std::string& application, Time at);
  void targetRestarted(const std::string& target, const std::string& application, Time at);
  void recordsLost(const std::string& target, const std::string& application, std::uint64_t count,
                   Time at);
  void levelNotRestored(const std::string& target, const std::string& application,
                        const std::string& component, Time at);

  // Moves every instance to `now` and returns what changed since the last
  // call, firing and resolved, in rule order.
  std::vector<Transition> evaluate(Time now);
  // The alerts firing now.
  std::vector<Alert> firing() const;

 private:
  Instance& instance(std::size_t index, const std::string& target, Time at);
  bool holds(const Rule& rule, Instance& state, Time now) const;
  Alert makeAlert(const Rule& rule, const std::string& target, const Instance& state) const;
  template <typename Each>
  void forEachWatching(const std::string& target, const std::string& application, Each each);

  std::vector<Rule> ruleList;
  // Per rule, its instances by target (never erased: callers hold them).
  std::vector<std::map<std::string, Instance>> instances;
};

}  // namespace alerts
