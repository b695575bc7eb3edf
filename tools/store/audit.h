// tools/store/audit.h
//
// The audit trail a store keeps beside its records: one row for every
// level change the tools made (set-level, enforce, the web console, a
// temporary change coming back), saying when, where, from what to what, by
// whom and why, and the filter `query --audit` and the console read them
// with. Rows are numbered by their own counter, apart from the records'
// ids, so that a tool that is not the recorder can append them while one
// records.
//
// Threads: plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/clocks.h"

namespace store {

struct AuditRow {
  std::int64_t id = 0;  // set by the store
  remote::SystemClock::time_point at;
  std::string target;       // "address:port"
  std::string application;  // of the target instance changed
  std::string component;
  std::uint32_t maskBefore = 0;
  std::uint32_t maskAfter = 0;
  std::string levelsBefore;  // the masks' level names, "error,warning"
  std::string levelsAfter;
  std::string by;   // the local user, or the console's token name
  std::string why;  // one of the reasons below
};

// Why a level changed.
inline constexpr const char* kAuditManual = "manual";
inline constexpr const char* kAuditPolicy = "policy";
inline constexpr const char* kAuditExpired = "expired";
inline constexpr const char* kAuditRestoreOnExit = "restore on exit";

struct AuditFilter {
  std::optional<std::int64_t> sinceNs;  // at >= since (ns since the epoch)
  std::optional<std::int64_t> untilNs;  // at < until
  std::vector<std::string> targets;     // "address:port", or a host: every port; empty: all
  std::vector<std::string> components;  // empty: every component
  std::int64_t afterId = 0;             // only rows after this one (follow)
  std::int64_t limit = 0;               // the newest N, still oldest first; 0: all
};

}  // namespace store
