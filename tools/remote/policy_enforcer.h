// tools/remote/policy_enforcer.h
//
// Applying a level policy (policy/level_policy.h) and keeping it applied,
// as `enforce` does and `record --policy` and `web --policy` do beside
// what they follow. Each round looks for the targets again, compares each
// one's components with the policy and sets one that differs to what the
// policy wants, so a target that starts, or restarts with its host's own
// levels, has the policy's within one period, and a mask someone changed by
// hand goes back. A component that a running temporary change holds
// (set-level --for, the web console's timer) is left to it until it ends;
// the next round then puts the policy back. The file is read again when
// its modification time changes (or when asked: enforce's SIGHUP); a file
// with mistakes is named and the policy before it kept. Every change is an
// audit row (audit_trail.h), by the local user, "policy".
//
// Threads: a PolicyEnforcer belongs to one thread; PolicyThread runs one
// on a thread of its own, with a session of its own, until it is destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/running_changes.h"
#include "client/session.h"
#include "codec/client_codec.h"
#include "follow/follow.h"
#include "model/endpoint.h"
#include "policy/level_policy.h"
#include "recorder/audit_trail.h"

namespace remote {

struct EnforceSettings {
  std::string policyPath;
  std::vector<std::string> targets;        // HOST[:PORT] each
  std::vector<std::string> discoverHosts;  // and every target on these
  std::chrono::milliseconds every{5000};
  std::string db;  // the store that keeps the audit trail
};

class PolicyEnforcer {
 public:
  // Throws ToolError (usage) for a policy file with mistakes, each named
  // at its line. `say` takes each change made, as a line.
  PolicyEnforcer(const RetryPolicy& retry, EnforceSettings settings,
                 std::function<void(const std::string&)> say);

  // Reads the policy again when asked or changed, then one round over the
  // targets.
  void round(bool reloadAsked = false);
  // The named targets that never answered.
  const std::set<std::string>& neverAnswered() const { return unanswered; }
  std::size_t entries() const { return levelPolicy.entries.size(); }

 private:
  void reloadIfChanged(bool asked);
  void apply(const Endpoint& target, const codec::DiscoveryResponse& response);

  const EnforceSettings settings;
  const std::function<void(const std::string&)> say;
  Session session;
  policy::LevelPolicy levelPolicy;
  std::optional<std::int64_t> policyTime;
  RunningChanges runningChanges;
  AuditTrail audit;
  const std::string user;
  std::set<std::string> warned, unanswered, reachedOnce;
};

// What `record --policy FILE` and `web --policy FILE` enforce: the policy
// on the targets they follow (named, and on their --discover hosts), every
// five seconds, audited in `db`. Throws ToolError (usage) with --broadcast
// alone, which names no host to look on.
EnforceSettings policyBeside(const std::string& policyPath, const FollowOptions& follow,
                             const std::string& db, const char* command);

// A PolicyEnforcer's rounds, every `settings.every`, on a thread of its
// own; its changes are said on stderr.
class PolicyThread {
 public:
  PolicyThread(const RetryPolicy& retry, EnforceSettings settings);
  ~PolicyThread();  // ends the rounds: waits for the one running
  PolicyThread(const PolicyThread&) = delete;
  PolicyThread& operator=(const PolicyThread&) = delete;

 private:
  void run();

  PolicyEnforcer enforcer;
  const std::chrono::milliseconds every;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;  // guarded by mutex
  std::thread rounds;     // last: started once the rest is built
};

}  // namespace remote
