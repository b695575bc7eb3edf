// tools/remote/policy_drift.cpp
//
// The drift between targets and a level policy; see policy_drift.h. Each
// target is found by a discovery request (which gives its application
// name), then its components are listed and each one's level descriptions
// fetched, as `components` does.
//
// Threads: single-threaded tool.
#include "remote/policy_drift.h"

#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>

#include "base/json_line.h"
#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "base/visible_text.h"
#include "client/component_list.h"
#include "client/discovery_sweep.h"
#include "client/find_target.h"
#include "client/find_targets.h"
#include "client/level_requests.h"
#include "model/levels.h"
#include "output/level_output.h"
#include "policy/level_policy.h"

namespace remote {
namespace {

struct Drift {
  std::string target, application, component;
  std::uint32_t mask = 0, wanted = 0;
  std::string now, policy;  // level names
  int line = 0;
};

policy::LevelPolicy loadPolicy(const std::string& path) {
  policy::LevelPolicy p = policy::readPolicy(path);
  if (p.errors.empty()) return p;
  throw ToolError{ErrorKind::kBadInput, "--policy: " + config::describeMistakes(path, p.errors)};
}

}  // namespace

int runPolicyDrift(const CommonOptions& common, const DriftOptions& options) {
  const policy::LevelPolicy levelPolicy = loadPolicy(options.policyPath);
  installStopHandlers();
  Session session(common.retry);
  int exitCode = 0;
  DiscoverySweep sweep;
  for (const std::string& given : options.targets) {
    try {
      sweep.addPort(findTarget(session, given));
    } catch (const ToolError& error) {
      if (isBadInput(error.kind)) throw;
      note("error: " + error.message);
      exitCode = kExitNoAnswer;
    }
  }
  for (const std::string& host : options.discoverHosts) sweep.addHost(resolve(host, 0));
  const RetryPolicy& retry = session.policy();
  const FoundTargets found =
      findTargets(session, sweep, retry.retries + 1, retry.timeout * (retry.retries + 1));
  if (found.found.size() < options.targets.size() && exitCode == 0) {
    note("error: not every target named answered a discovery request");
    exitCode = kExitNoAnswer;
  }

  const auto now = policy::SystemClock::now();
  std::vector<Drift> drifts;
  std::size_t components = 0;
  for (const auto& [key, target] : found.found) {
    const std::string& application = target.response.applicationName;
    try {
      for (const codec::ComponentInfo& info : listComponents(session, target.from)) {
        ++components;
        const codec::LevelDescriptions d = fetchLevelDescriptions(session, target.from, info.name);
        const auto desired =
            policy::desiredMask(levelPolicy, application, info.name, d.clientMask, d.levels, now);
        if (!desired) continue;
        if (!desired->error.empty()) {
          note("warning: " + options.policyPath + ":" + std::to_string(desired->entry->line) +
               ": " + target.from.text() + " " + info.name + ": " + desired->error);
          continue;
        }
        if (desired->mask == d.clientMask) continue;
        drifts.push_back({target.from.text(), application, info.name, d.clientMask, desired->mask,
                          joinNames(levelNamesInMask(d.clientMask, d.levels)),
                          joinNames(levelNamesInMask(desired->mask, d.levels)),
                          desired->entry->line});
      }
    } catch (const ToolError& error) {
      if (isBadInput(error.kind)) throw;
      note("error: " + target.from.text() + ": " + error.message);
      exitCode = kExitNoAnswer;
    }
  }

  if (common.json) {
    for (const Drift& d : drifts) {
      std::cout << jsonLine({{"target", d.target},
                             {"application", d.application},
                             {"component", d.component},
                             {"client_mask", d.mask},
                             {"policy_mask", d.wanted},
                             {"policy_line", d.line}})
                << '\n';
    }
  } else if (!drifts.empty()) {
    std::size_t widths[3] = {6, 11, 9};
    for (const Drift& d : drifts) {
      widths[0] = std::max(widths[0], d.target.size());
      widths[1] = std::max(widths[1], visible(d.application).size());
      widths[2] = std::max(widths[2], visible(d.component).size());
    }
    const auto column = [](std::size_t width) { return std::setw(static_cast<int>(width)); };
    std::cout << std::left << column(widths[0]) << "TARGET"
              << "  " << column(widths[1]) << "APPLICATION"
              << "  " << column(widths[2]) << "COMPONENT"
              << "  NOW -> POLICY (LINE)\n";
    for (const Drift& d : drifts) {
      std::cout << std::left << column(widths[0]) << d.target << "  " << column(widths[1])
                << visible(d.application) << "  " << column(widths[2]) << visible(d.component)
                << "  " << maskHex(d.mask) << " " << visible(d.now) << " -> " << maskHex(d.wanted)
                << " " << visible(d.policy) << " (" << options.policyPath << ":" << d.line << ")\n";
    }
  }
  std::cout.flush();
  note(std::to_string(drifts.size()) +
       (drifts.size() == 1 ? " component differs" : " components differ") +
       " from the policy, of " + std::to_string(components) + " on " +
       std::to_string(found.found.size()) + (found.found.size() == 1 ? " target" : " targets"));
  return exitCode;
}

}  // namespace remote
