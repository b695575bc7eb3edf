// tools/web/seen_targets.h
//
// The targets a console that follows nothing (a viewer of a store) shows:
// every target the store has seen, its newest instance, what the store
// holds of it and the components it logged in, with a rate worked out
// from how many records came since the last look. Level changes go to the
// target's address straight from the console; the panel does not promise
// that it answers there.
//
// Threads: the viewer's main thread owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "store/store.h"
#include "web/web_board.h"

namespace web {

class SeenTargets {
 public:
  std::vector<TargetState> look(store::Store& store, std::chrono::steady_clock::time_point now);

 private:
  struct Before {
    std::int64_t records = 0;
    std::chrono::steady_clock::time_point at;
  };
  std::map<std::string, Before> before;  // by target
};

}  // namespace web
