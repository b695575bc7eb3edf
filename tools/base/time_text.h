// tools/base/time_text.h
//
// Receive times as query shows them: the time of day in local time on a
// line (as tail has it), with the date in --stats. JSON has its own
// (record_json.h).
//
// Threads: a pure function; callable from any thread.
#pragma once

#include <string>

#include "base/clocks.h"

namespace remote {

enum class TimeStyle {
  kLocalTime,      // "12:00:01.123"
  kLocalDateTime,  // "2024-05-01 12:00:01.123"
};

std::string formatTime(SystemClock::time_point at, TimeStyle style);

}  // namespace remote
