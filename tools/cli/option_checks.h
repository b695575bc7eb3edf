// tools/cli/option_checks.h
//
// The values a user types into the tools' numeric options, checked where
// CLI11 parses them so that every bad one is a usage error with a message
// a person can act on ("--count: must be at least 1"), and durations as
// people write them ("500ms", "2s", "1.5", "1h30m"), parsed in this one
// place for every option of every tool.
//
// Threads: pure functions; the validators are used on the parsing thread.
#pragma once

#include <CLI/CLI.hpp>
#include <chrono>
#include <optional>
#include <string_view>

namespace cli {

// A duration: one or more parts of a number and a unit (ms, s, m or min,
// h, d), as in "1h30m" or "1.5s", or a bare number of seconds ("1.5").
// nullopt when the text is none of these or the total is not finite.
std::optional<std::chrono::milliseconds> parseDuration(std::string_view text);

// The examples every duration message shows.
inline constexpr const char* kDurationExamples = "500ms, 2s, 1.5, 1m30s, 1h";

// Each validator adds nothing to --help; the option names its type
// (->type_name("DURATION")).
// A duration, at least `minimum` (a zero minimum allows "0").
CLI::Validator durationCheck(std::chrono::milliseconds minimum = std::chrono::milliseconds(1));
// A whole number in [minimum, maximum].
CLI::Validator wholeNumberCheck(long long minimum, long long maximum);
// A decimal number in [minimum, maximum].
CLI::Validator numberCheck(double minimum, double maximum);

}  // namespace cli
