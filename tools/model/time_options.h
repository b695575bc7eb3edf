// tools/model/time_options.h
//
// Durations, sizes and times as users type them: a --timeout, a --rcvbuf,
// ages (--max-age 7d) and the bounds of a query (--since 10m, --until
// "2024-05-01 12:00"). Each is a usage error (exit 2) naming the option
// when it does not parse.
//
// Threads: pure functions; the tool is single-threaded.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "base/clocks.h"

namespace remote {

// A duration as cli::parseDuration() reads it ("500ms", "1.5", "1h30m").
// Throws ToolError (usage) naming `option` for text no check has seen.
std::chrono::milliseconds parseDuration(const std::string& text, const char* option);

// "8M", "512K", "1G", "65536" (bytes; K, M and G are powers of 1024, an
// "iB" or "B" may follow). Throws ToolError (usage) naming `option`.
std::size_t parseSize(const std::string& text, const char* option);

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
