// tools/remote/policy_drift.h
//
// `tarvin-remote levels --policy FILE TARGET... | --discover HOST...`: every
// target and component whose mask differs from what a level policy wants
// (policy/level_policy.h), with both masks named by the component's levels
// and the policy line that decided. Reads only; changes nothing.
//
// Threads: single-threaded tool.
#pragma once

#include <string>
#include <vector>

#include "remote/command_options.h"

namespace remote {

struct DriftOptions {
  std::string policyPath;
  std::vector<std::string> targets;
  std::vector<std::string> discoverHosts;
};

// Exit 0 whether or not anything drifted, 1 when a target did not answer,
// 2 (ToolError) for a policy file with mistakes, each named at its line.
int runPolicyDrift(const CommonOptions& common, const DriftOptions& options);

}  // namespace remote
