// tools/web/web_api.cpp
//
// Query parameters to a Filter, entries and targets to JSON.
//
// Threads: any HTTP thread; the store is that thread's own connection.
#include "web/web_api.h"

#include <charconv>

#include "base/tool_error.h"
#include "model/levels.h"
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

double epochMs(remote::SystemClock::time_point at) {
  return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
}

}  // namespace

store::Filter readFilter(const Params& params, store::RecordStore& store) {
  store::Filter filter;
  filter.sinceNs = timeParam(params, "since");
  filter.untilNs = timeParam(params, "until");
  filter.targets = store::targetsNamed(store, values(params, "target"));
  filter.components = values(params, "component");
  const std::vector<std::string> levels = values(params, "level");
  if (!levels.empty()) {
    const remote::Levels known = store::storedLevels(store);
    for (const std::string& name : levels) {
      const int level = remote::lookupClientLevel(name, known);
      // A name no record has carried yet selects nothing, like a target
      // that has sent nothing: the view is empty, not an error.
      filter.clientLevels.push_back(level >= 0 ? level : 0x7fff);
    }
  }
  filter.grep = value(params, "grep");
  filter.match = value(params, "match");
  filter.afterId = idParam(params, "after");
  filter.beforeId = idParam(params, "before");
  const std::string limit = value(params, "limit");
  filter.limit = 1000;
  if (!limit.empty()) {
    const auto n = integer(limit);
    if (!n || *n < 0) throw ApiError(remote::ErrorKind::kBadInput, "limit: not a number: " + limit);
    filter.limit = *n;
  }
  filter.reverse = value(params, "order") != "oldest";
  return filter;
}

nlohmann::json entryJson(const store::Entry& entry) {
  if (const auto* gap = std::get_if<store::StoredGap>(&entry)) {
    return {{"type", "gap"},
            {"id", gap->id},
            {"target", gap->target},
            {"application", gap->applicationName},
            {"uuid", codec::uuidToHex(gap->uuid)},
            {"first", gap->gap.first},
            {"last", gap->last()},
            {"lost", gap->gap.count},
            {"received", epochMs(gap->seenAt)}};
  }
  const auto& stored = std::get<store::StoredRecord>(entry);
  const codec::LogRecord& r = stored.arrived.record;
  const int clientLevel = remote::recordClientLevel(r.clientMask);
  return {{"type", "record"},
          {"id", stored.id},
          {"target", stored.arrived.source},
          {"application", stored.applicationName},
          {"received", epochMs(stored.arrived.receivedAt)},
          {"sequence", r.sequence},
          {"level",
           stored.levelName.empty() ? "level " + std::to_string(clientLevel) : stored.levelName},
          {"client_level", clientLevel >= 0 ? nlohmann::json(clientLevel) : nlohmann::json()},
          {"client_mask", r.clientMask},
          {"pid", r.integers[0]},
          {"tid", r.integers[1]},
          {"tick", static_cast<std::uint32_t>(r.integers[2])},
          {"line", r.integers[3]},
          {"component", r.strings[0]},
          {"file", r.strings[1]},
          {"function", r.strings[2]},
          {"text", r.strings[3]},
          {"integers", r.integers},
          {"strings", r.strings},
          {"uuid", codec::uuidToHex(r.uuid)}};
}

nlohmann::json targetJson(const TargetState& t) {
  nlohmann::json components = nlohmann::json::array();
  for (const auto& [name, mask] : t.components) {
    components.push_back(
        {{"name", name}, {"client_mask", mask ? nlohmann::json(*mask) : nlohmann::json()}});
  }
  return {{"target", t.label},
          {"uuid", t.uuid},
          {"application", t.application},
          {"address", t.endpoint.text()},
          {"state", t.state},
          {"records_per_second", t.recordsPerSecond},
          {"records", t.records},
          {"lost", t.lost},
          {"gaps", t.gaps},
          {"components", components}};
}

std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
}

}  // namespace web
