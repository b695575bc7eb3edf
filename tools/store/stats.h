// tools/store/stats.h
//
// What `query --stats` reports of a store: how many records it holds per
// target, component and level, over which receive times, and how many
// gaps and lost records it saw per target, for the records a Filter
// selects (its content filters included; context, limit and order do not
// apply).
//
// Threads: a plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clocks.h"

namespace store {

struct Stats {
  struct PerTarget {
    std::string target;
    std::int64_t records = 0;
    std::int64_t gaps = 0;
    std::int64_t lost = 0;  // records the gaps stand for
  };
  struct PerComponent {
    std::string component;
    std::int64_t records = 0;
  };
  struct PerLevel {
    int clientLevel = -1;  // -1: the mask named no single level
    std::string levelName;
    std::int64_t records = 0;
  };

  std::int64_t records = 0;
  std::int64_t gaps = 0;
  std::int64_t lost = 0;
  std::optional<remote::SystemClock::time_point> first, last;  // receive times
  std::vector<PerTarget> targets;                              // by target
  std::vector<PerComponent> components;                        // by name
  std::vector<PerLevel> levels;                                // most severe first
};

}  // namespace store
