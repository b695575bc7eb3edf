// tools/remote/component_levels.h
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
#include <utility>

#include "remote/levels.h"
#include "remote/session.h"

namespace remote {

class ComponentLevels {
 public:
  ComponentLevels(Session& session, const RetryPolicy& retry) : session(session), retry(retry) {}

  // Asks `target` for the descriptions of the record's component unless
  // they are known or asked for already.
  void request(const Endpoint& target, const codec::LogRecord& record);
  // Takes a level-descriptions answer to one of our requests; other
  // datagrams are left alone.
  void onDatagram(codec::Datagram& datagram);

  // The descriptions of the record's component (empty when the target
  // gave none), or nullptr while the answer is outstanding.
  const Levels* levelsFor(const codec::LogRecord& record) const;
  // Known or not: what to show once nothing may wait any more.
  const Levels& levelsOrNone(const codec::LogRecord& record) const;

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

  void send(const std::string& component, Entry& entry);

  Session& session;
  const RetryPolicy retry;
  std::map<Key, Entry> entries;
};

}  // namespace remote
