// tools/follow/component_check.cpp
//
// Collecting each target's component list and checking --component
// against it once.
//
// Threads: see component_check.h.
#include "follow/component_check.h"

#include <algorithm>

#include "base/note.h"
#include "wire/wire_format.h"

namespace remote {

void ComponentCheck::onComponentInfo(const std::string& target, const codec::ComponentInfo& info) {
  if (wanted.empty() || info.requestId != wire::kUnsolicitedRequestId) return;
  Listing& listing = targets[target];
  if (listing.checked) return;  // a renewal lists them again
  if (std::find(listing.names.begin(), listing.names.end(), info.name) == listing.names.end()) {
    listing.names.push_back(info.name);
  }
  listing.complete = Clock::now() + quiet;
}

Clock::time_point ComponentCheck::nextDeadline(Clock::time_point next) const {
  for (const auto& [target, listing] : targets) {
    if (!listing.checked) next = std::min(next, listing.complete);
  }
  return next;
}

void ComponentCheck::onTimers(Clock::time_point now) {
  for (auto& [target, listing] : targets) {
    if (listing.checked || now < listing.complete) continue;
    listing.checked = true;
    std::string missing;
    for (const std::string& name : wanted) {
      if (std::find(listing.names.begin(), listing.names.end(), name) != listing.names.end())
        continue;
      missing += (missing.empty() ? "'" : ", '") + name + "'";
    }
    if (missing.empty()) continue;
    std::string has;
    for (const std::string& name : listing.names) has += (has.empty() ? "" : ", ") + name;
    note("warning: no component " + missing + " on " + target + " (it has: " + has + ")");
  }
}

}  // namespace remote
