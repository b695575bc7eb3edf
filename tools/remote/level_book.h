// tools/remote/level_book.h
//
// The level descriptions of each component of each target instance, as a
// follower learns them: asked for (GLVD) the first time the component
// shows up from that instance, kept under the instance's uuid, asked again
// on timeout and given up after the retries, after which the component's
// levels stay unknown (client-level numbers are shown instead of names).
// tail asks for every component's levels to name them; forward asks only
// when --min-level is a name.
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here
// through the command's handler.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "codec/client_codec.h"
#include "remote/clocks.h"
#include "remote/endpoint.h"
#include "remote/levels.h"
#include "remote/session.h"

namespace remote {

class LevelBook {
 public:
  explicit LevelBook(const RetryPolicy& retry) : retry(retry) {}

  // Asks `target` for the levels of `component` of instance `uuid`, unless
  // asked already.
  void want(Session& session, const Endpoint& target, const codec::Uuid& uuid,
            const std::string& component);
  // Whether the answer is still awaited.
  bool pending(const codec::Uuid& uuid, const std::string& component) const;
  // The component's levels: empty while pending, when given up, when it
  // describes none, or when never asked.
  const Levels& levels(const codec::Uuid& uuid, const std::string& component) const;

  // Takes an answer; false when it is none we wait for.
  bool take(codec::LevelDescriptions&& answer);

  Clock::time_point nextDeadline(Clock::time_point next) const;
  // Resends what timed out; gives up, with a warning, after the retries.
  void onTimers(Session& session, Clock::time_point now);

 private:
  struct Entry {
    enum class State { kPending, kKnown, kUnavailable } state = State::kPending;
    Levels levels;
    Endpoint target;  // where the GLVD goes
    std::uint32_t requestId = 0;
    int attemptsLeft = 0;
    Clock::time_point deadline;
  };
  using Key = std::pair<codec::Uuid, std::string>;
  void send(Session& session, const std::string& component, Entry& entry);

  const RetryPolicy retry;
  std::map<Key, Entry> entries;
};

}  // namespace remote
