// tools/web/seen_targets.cpp
//
// Threads: see seen_targets.h.
#include "web/seen_targets.h"

#include "model/endpoint.h"

namespace web {

std::vector<TargetState> SeenTargets::look(store::Store& store,
                                           std::chrono::steady_clock::time_point now) {
  std::vector<TargetState> targets;
  std::map<std::string, Before> seenNow;
  for (const store::SeenTarget& seen : store.seenTargets()) {
    TargetState t;
    t.label = seen.target;
    try {
      const remote::TargetAddress address = remote::parseTargetAddress(seen.target);
      t.endpoint = remote::resolve(address.host, address.port.value_or(0));
    } catch (const remote::ToolError&) {
      // Not an address this console can send to: shown, its levels out of reach.
    }
    t.uuid = seen.uuid;
    t.application = seen.application;
    t.state = "recorded";
    t.records = seen.records;
    t.lost = seen.lost;
    t.gaps = seen.gaps;
    if (seen.lastRecord.time_since_epoch().count() != 0) {
      t.lastRecordMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(seen.lastRecord.time_since_epoch())
              .count();
    }
    for (const std::string& component : seen.components) t.components[component] = std::nullopt;
    // Records per second since the last look; retention may have taken
    // more than came, which is no negative rate.
    if (const auto was = before.find(seen.target); was != before.end() && now > was->second.at) {
      const double seconds = std::chrono::duration<double>(now - was->second.at).count();
      t.recordsPerSecond =
          seen.records > was->second.records ? (seen.records - was->second.records) / seconds : 0;
    }
    seenNow[seen.target] = {seen.records, now};
    targets.push_back(std::move(t));
  }
  before = std::move(seenNow);
  return targets;
}

}  // namespace web
