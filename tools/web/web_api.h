// tools/web/web_api.h
//
// The JSON of the web console's API: a Filter from a request's query
// parameters (the same selection as `query`), records and gaps as objects
// that carry the store's id (the one JSON form of every output,
// remote/record_json.h), and targets. Pure functions over values, apart
// from readFilter(), which looks up level names and hosts in the store.
//
// Threads: any HTTP thread, on that thread's own store connection.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/tool_error.h"
#include "output/record_json.h"
#include "store/filter.h"
#include "store/store.h"
#include "web/web_board.h"

namespace web {

// A request the API refuses, with its kind; the server says the status.
struct ApiError : std::runtime_error {
  ApiError(remote::ErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind(kind) {}
  remote::ErrorKind kind;
};

using Params = std::multimap<std::string, std::string>;

// target, component (repeatable or comma lists), level (names or client
// levels), grep and exclude (repeatable, as query's --grep and --exclude),
// ignore_case (1 or 0), match, since, until (epoch ms or query's WHEN),
// before, after (store ids), limit. Throws ApiError kBadInput, and kBadRegex for an
// expression the regex library refuses, with its message.
store::Filter readFilter(const Params& params, store::Store& store);

// The time parameter `name` in ns since the epoch: ms since the epoch (what
// the page sends) or anything `query --since` takes; none when absent.
// Throws ApiError kBadInput naming the parameter and the text.
std::optional<std::int64_t> timeParam(const Params& params, const char* name);

// A record or gap as every JSON output writes it (remote/record_json.h),
// with the store's id, appended to `out`.
void appendEntryJson(std::string& out, remote::JsonTime& time, const store::Entry& entry);
nlohmann::json targetJson(const TargetState& target);

// target, component, since, until and after (an audit row id), as for
// records; limit (the newest N, default 1000). Throws ApiError 400.
store::AuditFilter readAuditFilter(const Params& params);
// An audit row as GET /api/audit, the stream's "audit" events and `query
// --audit --json` write it (docs/record.schema.json):
// "type":"audit", its own "id", "at" as records have "received", both
// masks and their level names, "by" and "why".
nlohmann::json auditJson(const store::AuditRow& row);

// Text for the wire; target strings need not be valid UTF-8.
std::string dump(const nlohmann::json& value);

}  // namespace web
