// tools/cli/option_checks.cpp
//
// Duration parsing and the validators of numeric options. A validator
// returns the message without the option's name: CLI11 puts the name in
// front ("--count: must be at least 1").
//
// Threads: pure functions.
#include "cli/option_checks.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <sstream>
#include <string>

namespace cli {
namespace {

// Milliseconds per unit; 0 for a unit we do not know.
double unitScale(std::string_view unit) {
  if (unit == "ms") return 1;
  if (unit == "s") return 1e3;
  if (unit == "m" || unit == "min") return 60e3;
  if (unit == "h") return 3600e3;
  if (unit == "d") return 86400e3;
  return 0;
}

// "0.1" rather than "0.100000".
std::string shortText(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// The longest wait we represent: a century, far inside milliseconds' range.
constexpr double kLongestMs = 100 * 365.25 * 86400e3;

}  // namespace

std::optional<std::chrono::milliseconds> parseDuration(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double totalMs = 0;
  bool first = true;
  while (!text.empty()) {
    double value = 0;
    const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || !std::isfinite(value) || value < 0) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(stop - text.data()));
    std::size_t unitLength = 0;
    while (unitLength < text.size() && std::isalpha(static_cast<unsigned char>(text[unitLength])))
      ++unitLength;
    const std::string_view unit = text.substr(0, unitLength);
    text.remove_prefix(unitLength);
    if (unit.empty()) {
      // A bare number is seconds, and only on its own: "1h30" is a typo.
      if (!first || !text.empty()) return std::nullopt;
      totalMs = value * 1e3;
      break;
    }
    const double scale = unitScale(unit);
    if (scale == 0) return std::nullopt;
    totalMs += value * scale;
    first = false;
  }
  if (!(totalMs <= kLongestMs)) return std::nullopt;
  return std::chrono::milliseconds(std::llround(totalMs));
}

CLI::Validator durationCheck(std::chrono::milliseconds minimum) {
  return CLI::Validator(
      [minimum](std::string& text) -> std::string {
        const auto value = parseDuration(text);
        if (!value) return "invalid duration '" + text + "' (examples: " + kDurationExamples + ")";
        if (*value < minimum) {
          return minimum.count() <= 1
                     ? "must be above 0"
                     : "must be at least " + std::to_string(minimum.count()) + "ms";
        }
        return {};
      },
      /*validator_desc=*/"");
}

CLI::Validator wholeNumberCheck(long long minimum, long long maximum) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        long long value = 0;
        const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range)
          return "must be at most " + std::to_string(maximum);
        if (ec != std::errc() || stop != text.data() + text.size())
          return "'" + text + "' is not a whole number";
        if (value < minimum) return "must be at least " + std::to_string(minimum);
        if (value > maximum) return "must be at most " + std::to_string(maximum);
        return {};
      },
      /*validator_desc=*/"");
}

CLI::Validator numberCheck(double minimum, double maximum) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double value = 0;
        const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || stop != text.data() + text.size() || !std::isfinite(value)) {
          return "'" + text + "' is not a number";
        }
        if (value < minimum) return "must be at least " + shortText(minimum);
        if (value > maximum) return "must be at most " + shortText(maximum);
        return {};
      },
      /*validator_desc=*/"");
}

}  // namespace cli
