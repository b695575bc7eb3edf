// tools/follow/component_levels.h
//
// The level names of the records a command follows: the level descriptions
// of each component of each target instance, asked for (GLVD) the first
// time the component shows up from that instance and cached under its
// uuid. An unanswered GLVD is sent again and then given up, after which
// that component's records show client-level numbers ("level 29").
//
// Records wait in the command's own queue while their component's answer
// is outstanding (levelsFor() returns nullptr), so output keeps the order
// of arrival; tail prints them, record stores them.
//
// Threads: single-threaded; the Follower's poll() loop calls in here
// through the command's handler.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "client/session.h"
#include "model/levels.h"

namespace remote {

class ComponentLevels {
 public:
  ComponentLevels(Session& session, const RetryPolicy& retry) : session(session), retry(retry) {}

  // The descriptions of `component` of the target instance `uuid`: asked
  // for from `target` the first time the component shows up. Empty when
  // the target gave none, nullptr while the answer is outstanding. Hot
  // path of tail: a component seen before is found without building a
  // string.
  const Levels* lookup(const Endpoint& target, const codec::Uuid& uuid, std::string_view component);
  // Takes a level-descriptions answer to one of our requests; other
  // datagrams are left alone.
  void onDatagram(codec::Datagram& datagram);

  // As lookup(), without asking.
  const Levels* levelsFor(const codec::Uuid& uuid, std::string_view component) const;
  // Known or not: what to show once nothing may wait any more.
  const Levels& levelsOrNone(const codec::Uuid& uuid, std::string_view component) const;

  // Resends and give-ups; each one's deadline feeds the poll() wait.
  Clock::time_point nextDeadline(Clock::time_point next) const;
  void onTimers(Clock::time_point now);

 private:
  struct Entry {
    enum class State { kPending, kKnown, kUnavailable } state = State::kPending;
    Levels levels;
    Endpoint target;  // where the GLVD goes
    std::uint32_t requestId = 0;
    int attemptsLeft = 0;
    Clock::time_point deadline;
  };
  using Key = std::pair<codec::Uuid, std::string>;  // instance, component
  // Orders keys, and finds them by a component name in place.
  struct KeyOrder {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      if (a.first != b.first) return a.first < b.first;
      return std::string_view(a.second) < std::string_view(b.second);
    }
  };
  using Name = std::pair<const codec::Uuid&, std::string_view>;

  void send(const std::string& component, Entry& entry);

  Session& session;
  const RetryPolicy retry;
  std::map<Key, Entry, KeyOrder> entries;
};

}  // namespace remote
