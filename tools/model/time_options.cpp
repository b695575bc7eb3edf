// tools/model/time_options.cpp
//
// Ages and points in time as typed. Dates go through mktime() (local time,
// daylight saving as the system's time zone says) or timegm() (Z).
//
// Threads: pure functions; the tool is single-threaded.
#include "model/time_options.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <regex>

#include "base/tool_error.h"
#include "cli/option_checks.h"

namespace remote {

std::chrono::milliseconds parseDuration(const std::string& text, const char* option) {
  const auto value = cli::parseDuration(text);
  if (!value) {
    throw ToolError{ErrorKind::kBadInput, std::string(option) + ": invalid duration '" + text +
                                              "' (examples: " + cli::kDurationExamples + ")"};
  }
  return *value;
}

std::size_t parseSize(const std::string& text, const char* option) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  std::string unit(stop, end);
  if (unit.ends_with("iB")) unit.resize(unit.size() - 2);
  if (unit.size() > 1 && unit.ends_with("B")) unit.pop_back();
  int shift = -1;
  if (unit.empty() || unit == "B") shift = 0;
  if (unit == "K" || unit == "k") shift = 10;
  if (unit == "M") shift = 20;
  if (unit == "G") shift = 30;
  if (ec != std::errc() || shift < 0 || value > (std::uint64_t{1} << (40 - shift))) {
    throw ToolError{ErrorKind::kBadInput, std::string(option) + ": invalid size '" + text +
                                              "' (examples: 8M, 512K, 65536)"};
  }
  return static_cast<std::size_t>(value << shift);
}
namespace {

[[noreturn]] void invalidTime(const std::string& text, const char* option) {
  throw ToolError{
      ErrorKind::kBadInput,
      std::string(option) + ": invalid time '" + text +
          "' (examples: 10m, 2h, 2024-05-01, '2024-05-01 12:00', 12:00:30, @1714560000)"};
}

int number(const std::ssub_match& part) { return part.matched ? std::stoi(part.str()) : 0; }

}  // namespace

std::chrono::milliseconds parseAge(const std::string& text, const char* option) {
  return parseDuration(text, option);  // hours and days included: one parser for every option
}

SystemClock::time_point parseTimeBound(const std::string& text, const char* option,
                                       SystemClock::time_point now) {
  if (!text.empty() && text.front() == '@') {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data() + 1, end, seconds);
    if (ec != std::errc() || stop != end || !std::isfinite(seconds)) invalidTime(text, option);
    return SystemClock::time_point(
        std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(seconds)));
  }
  // The words journalctl takes: the start of today and of yesterday, local.
  if (text == "now") return now;
  if (text == "today" || text == "yesterday") {
    const std::time_t at = SystemClock::to_time_t(now);
    std::tm day{};
    ::localtime_r(&at, &day);
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    if (text == "yesterday") day.tm_mday -= 1;
    day.tm_isdst = -1;
    return SystemClock::from_time_t(std::mktime(&day));
  }
  if (!text.empty() && text.find_first_of("-:") == std::string::npos) {
    try {
      return now - parseAge(text, option);
    } catch (const ToolError&) {
      invalidTime(text, option);
    }
  }
  // [date][ |T][time][Z], at least one of date and time.
  static const std::regex kDateTime(
      R"(^(?:(\d{4})-(\d{1,2})-(\d{1,2}))?(?:(?:^|[ T])(\d{1,2}):(\d{2})(?::(\d{2})(\.\d+)?)?)?(Z?)$)");
  std::smatch m;
  if (!std::regex_match(text, m, kDateTime) || (!m[1].matched && !m[4].matched))
    invalidTime(text, option);
  const bool utc = m[8].length() > 0;
  std::tm parts{};
  const std::time_t today = SystemClock::to_time_t(now);
  if (utc) {
    ::gmtime_r(&today, &parts);
  } else {
    ::localtime_r(&today, &parts);
  }
  if (m[1].matched) {
    parts.tm_year = number(m[1]) - 1900;
    parts.tm_mon = number(m[2]) - 1;
    parts.tm_mday = number(m[3]);
  }
  parts.tm_hour = number(m[4]);
  parts.tm_min = number(m[5]);
  parts.tm_sec = number(m[6]);
  parts.tm_isdst = -1;  // whatever the zone says for that date
  if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
      parts.tm_min > 59 || parts.tm_sec > 60) {
    invalidTime(text, option);
  }
  const std::time_t seconds = utc ? ::timegm(&parts) : std::mktime(&parts);
  if (seconds == -1) invalidTime(text, option);
  const double fraction = m[7].matched ? std::stod(m[7].str()) : 0.0;  // ".25"
  return SystemClock::from_time_t(seconds) +
         std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(fraction));
}

}  // namespace remote
