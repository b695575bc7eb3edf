// tools/store/context_windows.h
//
// The context groups of a journal query, whichever engine found the
// matches: each match's window of its target's records (the N before and
// after it), and the windows of one target that overlap or touch made
// one group, groups in the order of their first match.
//
// Threads: plain values and pure functions.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace store {

// The records of one target shown around its matches: lo..hi, with the
// target's records just outside, to tell whether two windows touch.
struct Window {
  std::string target;
  std::int64_t below = 0;  // the target's record before lo; 0: none
  std::int64_t lo = 0, hi = 0;
  std::optional<std::int64_t> above;  // the target's record after hi
  std::int64_t firstMatch = 0;        // in output order
  std::set<std::int64_t> matches;
};

// Windows of one target that overlap or touch become one group; groups
// come in the order of their first match.
std::vector<Window> groupWindows(std::map<std::string, std::vector<Window>> byTarget, bool reverse);

}  // namespace store
