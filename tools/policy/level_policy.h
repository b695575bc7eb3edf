// tools/policy/level_policy.h
//
// A level policy: the levels each application's components should have,
// as an operator writes them in TOML:
//
//   [[level]]
//   application = "payments*"   # a glob on the application name ("*" if left out)
//   component = "db"            # a name, or "*" for every component
//   levels = "+debug"           # as set-level takes them
//   until = "2026-12-11"        # optional: through that day (or "2026-12-11 18:00")
//
// Where several entries cover one component, the most specific wins: one
// that names the component beats one for "*", then the application glob
// with more literal characters beats one with fewer ("payments-eu*" beats
// "payments*", which beats "*"), and of equals the later one in the file.
// An entry past its `until` covers nothing.
//
// Threads: pure functions and values; callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "model/levels.h"

namespace policy {

using SystemClock = std::chrono::system_clock;

struct LevelEntry {
  int line = 0;
  std::string application = "*";
  std::string component = "*";
  std::string levels;  // set-level syntax
  std::optional<SystemClock::time_point> until;
};

using PolicyError = config::Mistake;

struct LevelPolicy {
  std::vector<LevelEntry> entries;
  std::vector<PolicyError> errors;  // in line order; the entries are usable only without any
};

// Reads and checks a policy file (each mistake named at its line); the
// text of one, named `name` in messages. `until` dates are local time.
LevelPolicy readPolicy(const std::string& path);
LevelPolicy parsePolicy(const std::string& text, const std::string& name);

// The entry that decides `component` of `application` at `now`, or null
// when none covers it.
const LevelEntry* decidingEntry(const LevelPolicy& policy, const std::string& application,
                                const std::string& component, SystemClock::time_point now);

// What the policy wants for a component whose mask is `current` and whose
// levels are `levels`: nullopt when no entry covers it; an error message
// when the entry's levels name a level the component lacks.
struct Desired {
  const LevelEntry* entry = nullptr;
  std::uint32_t mask = 0;
  std::string error;
};
std::optional<Desired> desiredMask(const LevelPolicy& policy, const std::string& application,
                                   const std::string& component, std::uint32_t current,
                                   const remote::Levels& levels, SystemClock::time_point now);

}  // namespace policy
