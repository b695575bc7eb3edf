// tools/remote/record_output.cpp
//
// The text and JSON forms of a log record, and the filters in front of
// them. Times are the receive times: a record carries none of its own.
//
// Threads: a printer belongs to one thread.
#include "remote/record_output.h"

#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "remote/json_line.h"

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

std::string formatTime(SystemClock::time_point at, bool utc) {
  const std::time_t seconds = SystemClock::to_time_t(at);
  std::tm parts{};
  if (utc) {
    ::gmtime_r(&seconds, &parts);
  } else {
    ::localtime_r(&seconds, &parts);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::ostringstream text;
  text << std::put_time(&parts, utc ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S") << '.' << std::setw(3)
       << std::setfill('0') << ms << (utc ? "Z" : "");
  return text.str();
}

// Hosts pass __FILE__, often a long absolute path; a line of text shows the
// file's name alone (JSON keeps the whole path).
std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

RecordPrinter::RecordPrinter(const OutputOptions& options, std::ostream& out)
    : options(options), out(out), filter(options.components.begin(), options.components.end()) {}

void RecordPrinter::offer(const ArrivedRecord& arrived, const Levels& levels) {
  if (limitReached() || !wanted(arrived.record, levels)) return;
  print(arrived, levels);
  ++printed;
}

bool RecordPrinter::wanted(const codec::LogRecord& record, const Levels& levels) const {
  if (!filter.empty() && !filter.contains(record.strings[0])) return false;
  if (options.minLevel.empty()) return true;
  const int minimum = lookupClientLevel(options.minLevel, levels);
  const int level = recordClientLevel(record.clientMask);
  // Higher client levels are the more severe ones.
  return minimum < 0 || level < 0 || level >= minimum;
}

void RecordPrinter::print(const ArrivedRecord& arrived, const Levels& levels) {
  const codec::LogRecord& r = arrived.record;
  const int clientLevel = recordClientLevel(r.clientMask);
  const std::string level = recordLevelName(r.clientMask, levels);
  const auto tick = static_cast<std::uint32_t>(r.integers[2]);
  if (options.json) {
    nlohmann::json line = {
        {"received", formatTime(arrived.receivedAt, /*utc=*/true)},
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
  const std::string coloured = options.color ? colourOf(clientLevel) + levelField.str() + kColourOff
                                             : levelField.str();
  if (namingSources) out << arrived.source << ' ';
  out << formatTime(arrived.receivedAt, /*utc=*/false) << " #" << r.sequence << ' ' << coloured << ' '
      << r.strings[0] << ' ' << r.integers[0] << '/' << r.integers[1] << " tick=" << tick << ' '
      << baseName(r.strings[1]) << ':' << r.integers[3] << ' ' << r.strings[2] << ": " << r.strings[3]
      << std::endl;
}

}  // namespace remote
