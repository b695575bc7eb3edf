// tools/follow/component_check.h
//
// Whether each --component a follower filters on exists on each target it
// follows: a target lists its components in the component infos that come
// right behind its registration confirm. Once they have stopped coming for
// a moment, a name none of them carries is warned about, once per target
// ("no component 'nosuch' on HOST:PORT (it has: net, db, ui)"): a typo
// must not look like a quiet component.
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here
// through the command's handler.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/clocks.h"
#include "codec/client_codec.h"

namespace remote {

class ComponentCheck {
 public:
  // `quiet`: how long after the last component info the list counts as
  // complete (a request timeout).
  ComponentCheck(const std::vector<std::string>& wanted, std::chrono::milliseconds quiet)
      : wanted(wanted), quiet(quiet) {}

  // Every component info a followed target sends; only those sent after a
  // registration confirm (request id 0xFFFFFFFF) list the components.
  void onComponentInfo(const std::string& target, const codec::ComponentInfo& info);

  Clock::time_point nextDeadline(Clock::time_point next) const;
  void onTimers(Clock::time_point now);

 private:
  struct Listing {
    std::vector<std::string> names;  // in the target's order
    Clock::time_point complete;      // the list counts as complete then
    bool checked = false;
  };

  const std::vector<std::string> wanted;
  const std::chrono::milliseconds quiet;
  std::map<std::string, Listing> targets;  // by HOST:PORT
};

}  // namespace remote
