// tools/remote/time_options.h
//
// The times record and query take: ages (--max-age 7d) and the bounds of a
// query (--since 10m, --until "2024-05-01 12:00"), as users type them.
// Both are usage errors (exit 2) naming the option when they do not parse.
//
// Threads: pure functions; the tool is single-threaded.
#pragma once

#include <chrono>
#include <string>

#include "remote/clocks.h"

namespace remote {

// A duration as parseDuration() reads it: "500ms", "90s", "10m", "2h",
// "7d", "1h30m".
std::chrono::milliseconds parseAge(const std::string& text, const char* option);

// A point in time: an age before `now` ("10m": ten minutes ago), a date
// and time in local time ("2024-05-01", "2024-05-01 12:00",
// "2024-05-01T12:00:30.5"), in UTC with a final Z, a time of today
// ("12:00", "08:15:30"), or seconds since the epoch ("@1714560000").
SystemClock::time_point parseTimeBound(const std::string& text, const char* option,
                                       SystemClock::time_point now);

}  // namespace remote
