// tools/remote/record_output.cpp
//
// The text and JSON forms of a log record. Times are the receive times: a
// record carries none of its own.
//
// Threads: a printer belongs to one thread.
#include "remote/record_output.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "remote/json_line.h"
#include "remote/record_filter.h"

namespace remote {
namespace {

const char* colourOf(int clientLevel) {
  if (clientLevel >= 31) return "\033[1;31m";  // the most severe: bold red
  if (clientLevel == 30) return "\033[33m";
  if (clientLevel == 29) return "\033[32m";
  if (clientLevel == 28) return "\033[36m";
  if (clientLevel >= 0) return "\033[2m";
  return "";
}
constexpr const char* kColourOff = "\033[0m";

// The broken-down time of `at` in UTC or the local zone.
std::tm partsOf(std::time_t seconds, bool utc) {
  std::tm parts{};
  if (utc) {
    ::gmtime_r(&seconds, &parts);
  } else {
    ::localtime_r(&seconds, &parts);
  }
  return parts;
}

// RFC 3339 with `digits` (3 or 6) of the second: "2026-12-06T06:50:27.868Z",
// or "...+01:00" in the local zone.
std::string rfc3339(SystemClock::time_point at, bool utc, int digits) {
  const std::time_t seconds = SystemClock::to_time_t(at);
  const std::tm parts = partsOf(seconds, utc);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count() %
      1'000'000;
  const auto fraction = digits == 3 ? micros / 1000 : micros;
  char zone[8] = "Z";
  if (!utc) {
    char offset[8];
    std::strftime(offset, sizeof offset, "%z", &parts);  // "+0100"
    std::snprintf(zone, sizeof zone, "%.3s:%.2s", offset, offset + 3);
  }
  std::ostringstream text;
  text << std::put_time(&parts, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(digits)
       << std::setfill('0') << fraction << zone;
  return text.str();
}

// A stable colour per target: FNV-1a of its address picks one of these
// (red stays the colour of errors).
std::string sourceColour(const std::string& source) {
  static const char* const kPalette[] = {"\033[32m", "\033[33m", "\033[34m", "\033[35m",
                                         "\033[36m", "\033[92m", "\033[93m", "\033[94m",
                                         "\033[95m", "\033[96m"};
  std::uint32_t hash = 2166136261u;
  for (const unsigned char c : source) hash = (hash ^ c) * 16777619u;
  return kPalette[hash % std::size(kPalette)];
}

// Hosts pass __FILE__, often a long absolute path; a line of text shows the
// file's name alone (JSON keeps the whole path).
std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

RecordPrinter::RecordPrinter(const OutputOptions& options, RecordFilter& filter, std::ostream& out)
    : options(options), filter(filter), out(out) {}

void RecordPrinter::offer(const ArrivedRecord& arrived, const Levels& levels) {
  if (limitReached() || !filter.wanted(arrived.record, levels)) return;
  print(arrived, levels);
  ++printed;
}

std::string RecordPrinter::timeText(SystemClock::time_point at) {
  if (options.isoTimes) return rfc3339(at, options.utc, /*digits=*/6);
  const std::time_t seconds = SystemClock::to_time_t(at);
  const std::tm parts = partsOf(seconds, options.utc);
  const std::time_t now = SystemClock::to_time_t(SystemClock::now());
  if (now != todayCheckedAt) {
    const std::tm today = partsOf(now, options.utc);
    todayCheckedAt = now;
    todayYear = today.tm_year;
    todayDay = today.tm_yday;
  }
  const bool today = parts.tm_year == todayYear && parts.tm_yday == todayDay;
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::ostringstream text;
  text << std::put_time(&parts, today ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3)
       << std::setfill('0') << ms << (options.utc ? "Z" : "");
  return text.str();
}

void RecordPrinter::knowSource(const std::string& source, const std::string& application) {
  if (!application.empty()) applicationOf[source] = application;
}

std::string RecordPrinter::sourceText(const ArrivedRecord& arrived) {
  std::string name = arrived.source;
  if (!arrived.application.empty()) {
    knowSource(arrived.source, arrived.application);  // a restarted target may have a new name
    const auto sharing =
        std::count_if(applicationOf.begin(), applicationOf.end(),
                      [&](const auto& known) { return known.second == arrived.application; });
    name = sharing > 1 ? arrived.application + "@" + arrived.source : arrived.application;
  }
  name = "[" + name + "]";
  return options.color ? sourceColour(arrived.source) + name + kColourOff : name;
}

void RecordPrinter::print(const ArrivedRecord& arrived, const Levels& levels) {
  const codec::LogRecord& r = arrived.record;
  const int clientLevel = recordClientLevel(r.clientMask);
  const std::string level = recordLevelName(r.clientMask, levels);
  const auto tick = static_cast<std::uint32_t>(r.integers[2]);
  if (options.json) {
    nlohmann::json line = {
        {"received", rfc3339(arrived.receivedAt, /*utc=*/true, /*digits=*/3)},
        {"source", arrived.source},
        {"uuid", codec::uuidToHex(r.uuid)},
        {"sequence", r.sequence},
        {"integers", r.integers},
        {"client_mask", r.clientMask},
        {"strings", r.strings},
        {"client_level", clientLevel >= 0 ? nlohmann::json(clientLevel) : nlohmann::json()},
        {"level", level},
        {"pid", r.integers[0]},
        {"tid", r.integers[1]},
        {"tick", tick},
        {"line", r.integers[3]},
        {"component", r.strings[0]},
        {"file", r.strings[1]},
        {"function", r.strings[2]},
        {"text", r.strings[3]},
    };
    out << jsonLine(line) << std::endl;
    return;
  }
  std::ostringstream levelField;
  levelField << std::left << std::setw(7) << level;
  const std::string coloured =
      options.color ? colourOf(clientLevel) + levelField.str() + kColourOff : levelField.str();
  if (namingSources) out << sourceText(arrived) << ' ';
  out << timeText(arrived.receivedAt) << " #" << r.sequence << ' ' << coloured << ' '
      << r.strings[0] << ' ' << r.integers[0] << '/' << r.integers[1] << " tick=" << tick << ' '
      << baseName(r.strings[1]) << ':' << r.integers[3] << ' ' << r.strings[2] << ": "
      << r.strings[3] << std::endl;
}

}  // namespace remote
