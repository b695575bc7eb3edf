// tools/store/context_windows.cpp
//
// Grouping context windows. See context_windows.h.
//
// Threads: pure functions.
#include "store/context_windows.h"

#include <algorithm>

namespace store {

std::vector<Window> groupWindows(std::map<std::string, std::vector<Window>> byTarget,
                                 bool reverse) {
  std::vector<Window> groups;
  for (auto& [target, windows] : byTarget) {
    std::sort(windows.begin(), windows.end(),
              [](const Window& a, const Window& b) { return a.lo < b.lo; });
    for (Window& w : windows) {
      Window* last = groups.empty() || groups.back().target != target ? nullptr : &groups.back();
      if (last && (w.lo <= last->hi || (last->above && w.lo <= *last->above))) {
        if (w.hi > last->hi) {
          last->hi = w.hi;
          last->above = w.above;
        }
        last->matches.merge(w.matches);
        last->firstMatch = reverse ? std::max(last->firstMatch, w.firstMatch)
                                   : std::min(last->firstMatch, w.firstMatch);
      } else {
        groups.push_back(std::move(w));
      }
    }
  }
  std::sort(groups.begin(), groups.end(), [&](const Window& a, const Window& b) {
    return reverse ? a.firstMatch > b.firstMatch : a.firstMatch < b.firstMatch;
  });
  return groups;
}

}  // namespace store
