// tools/web/web_api.cpp
//
// Query parameters to a Filter, entries and targets to JSON.
//
// Threads: any HTTP thread; the store is that thread's own connection.
#include "web/web_api.h"

#include <charconv>

#include "base/tool_error.h"
#include "model/levels.h"
#include "model/record_match.h"
#include "model/time_options.h"

namespace web {
namespace {

// Every value of `name`, comma lists split.
std::vector<std::string> values(const Params& params, const std::string& name) {
  std::vector<std::string> out;
  auto [from, to] = params.equal_range(name);
  for (auto it = from; it != to; ++it) {
    std::size_t start = 0;
    const std::string& v = it->second;
    while (start <= v.size()) {
      const std::size_t comma = std::min(v.find(',', start), v.size());
      if (comma > start) out.push_back(v.substr(start, comma - start));
      start = comma + 1;
    }
  }
  return out;
}

// Every value of `name` as given: an expression may hold commas.
std::vector<std::string> whole(const Params& params, const std::string& name) {
  std::vector<std::string> out;
  auto [from, to] = params.equal_range(name);
  for (auto it = from; it != to; ++it) {
    if (!it->second.empty()) out.push_back(it->second);
  }
  return out;
}

std::string value(const Params& params, const std::string& name) {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::optional<std::int64_t> integer(const std::string& text) {
  std::int64_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return n;
}

std::int64_t idParam(const Params& params, const char* name) {
  const std::string text = value(params, name);
  if (text.empty()) return 0;
  const auto n = integer(text);
  if (!n || *n < 0)
    throw ApiError(remote::ErrorKind::kBadInput, std::string(name) + ": not a record id: " + text);
  return *n;
}

}  // namespace

// Epoch milliseconds (what the page sends) or anything query's --since takes.
std::optional<std::int64_t> timeParam(const Params& params, const char* name) {
  const std::string text = value(params, name);
  if (text.empty()) return std::nullopt;
  if (const auto ms = integer(text)) return *ms * 1'000'000;
  try {
    const auto at = remote::parseTimeBound(text, name, remote::SystemClock::now());
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  } catch (const remote::ToolError& error) {
    throw ApiError(remote::ErrorKind::kBadInput, error.message);
  }
}

namespace {

// `limit`: 1000 when not given.
std::int64_t limitParam(const Params& params) {
  const std::string limit = value(params, "limit");
  if (limit.empty()) return 1000;
  const auto n = integer(limit);
  if (!n || *n < 0) throw ApiError(remote::ErrorKind::kBadInput, "limit: not a number: " + limit);
  return *n;
}

}  // namespace

store::Filter readFilter(const Params& params, store::Store& store) {
  store::Filter filter;
  filter.sinceNs = timeParam(params, "since");
  filter.untilNs = timeParam(params, "until");
  filter.targets = store::targetsNamed(store, values(params, "target"));
  filter.components = values(params, "component");
  const std::vector<std::string> levels = values(params, "level");
  if (!levels.empty()) {
    const remote::Levels known = store.levels();
    for (const std::string& name : levels) {
      const int level = remote::lookupClientLevel(name, known);
      // A name no record has carried yet selects nothing, like a target
      // that has sent nothing: the view is empty, not an error.
      filter.clientLevels.push_back(level >= 0 ? level : 0x7fff);
    }
  }
  filter.regex.grep = whole(params, "grep");
  filter.regex.exclude = whole(params, "exclude");
  const std::string ignoreCase = value(params, "ignore_case");
  if (ignoreCase != "" && ignoreCase != "0" && ignoreCase != "1")
    throw ApiError(remote::ErrorKind::kBadInput, "ignore_case: 1 or 0, not " + ignoreCase);
  filter.regex.ignoreCase = ignoreCase == "1";
  try {
    remote::RecordMatch{filter.regex};
  } catch (const remote::RegexError& error) {
    throw ApiError(remote::ErrorKind::kBadRegex, error.list + ": " + error.what());
  }
  filter.match = value(params, "match");
  filter.afterId = idParam(params, "after");
  filter.beforeId = idParam(params, "before");
  filter.limit = limitParam(params);
  filter.reverse = value(params, "order") != "oldest";
  return filter;
}

store::AuditFilter readAuditFilter(const Params& params) {
  store::AuditFilter filter;
  filter.sinceNs = timeParam(params, "since");
  filter.untilNs = timeParam(params, "until");
  filter.targets = values(params, "target");
  filter.components = values(params, "component");
  filter.afterId = idParam(params, "after");
  filter.limit = limitParam(params);
  return filter;
}

nlohmann::json auditJson(const store::AuditRow& row) {
  const auto names = [](const std::string& list) {
    nlohmann::json out = nlohmann::json::array();
    std::size_t start = 0;
    while (start < list.size()) {
      const std::size_t comma = std::min(list.find(',', start), list.size());
      out.push_back(list.substr(start, comma - start));
      start = comma + 1;
    }
    return out;
  };
  return {{"type", "audit"},
          {"id", row.id},
          {"at", remote::receivedText(row.at)},
          {"target", row.target},
          {"application", row.application},
          {"component", row.component},
          {"mask_before", row.maskBefore},
          {"mask_after", row.maskAfter},
          {"levels_before", names(row.levelsBefore)},
          {"levels_after", names(row.levelsAfter)},
          {"by", row.by},
          {"why", row.why}};
}

void appendEntryJson(std::string& out, remote::JsonTime& time, const store::Entry& entry) {
  if (const auto* gap = std::get_if<store::StoredGap>(&entry)) {
    remote::appendJsonGap(out, time, *gap, gap->applicationName, gap->id);
    return;
  }
  const auto& stored = std::get<store::StoredRecord>(entry);
  const codec::LogRecord& r = stored.arrived.record;
  // The level name as the recorder had it, or as tail names a level
  // without one ("level 29", a mask of no level in hex).
  const int clientLevel = remote::recordClientLevel(r.clientMask);
  remote::Levels named;
  if (clientLevel >= 0 && !stored.levelName.empty())
    named.push_back({static_cast<std::uint32_t>(clientLevel), stored.levelName});
  remote::appendJsonRecord(out, time, codec::LogRecordView(r), stored.arrived.receivedAt,
                           {stored.arrived.source, stored.applicationName, stored.id},
                           remote::recordLevelName(r.clientMask, named));
}

nlohmann::json targetJson(const TargetState& t) {
  nlohmann::json components = nlohmann::json::array();
  for (const auto& [name, mask] : t.components) {
    components.push_back(
        {{"name", name}, {"client_mask", mask ? nlohmann::json(*mask) : nlohmann::json()}});
  }
  nlohmann::json json = {{"target", t.label},
                         {"uuid", t.uuid},
                         {"application", t.application},
                         {"address", t.endpoint.text()},
                         {"state", t.state},
                         {"records_per_second", t.recordsPerSecond},
                         {"records", t.records},
                         {"lost", t.lost},
                         {"gaps", t.gaps},
                         {"components", components}};
  if (t.lastRecordMs != 0) json["last_record_ms"] = t.lastRecordMs;
  return json;
}

std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

}  // namespace web
