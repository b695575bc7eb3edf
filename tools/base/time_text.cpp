// tools/base/time_text.cpp
//
// Formatting receive times to the millisecond.
//
// Threads: a pure function; see time_text.h.
#include "base/time_text.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace remote {

std::string formatTime(SystemClock::time_point at, TimeStyle style) {
  const std::time_t seconds = SystemClock::to_time_t(at);
  std::tm parts{};
  ::localtime_r(&seconds, &parts);
  const char* format = style == TimeStyle::kLocalDateTime ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S";
  // Floored, not rounded, so a time never shows the next second; before
  // 1970 the remainder is negative and counts back from the next second.
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  std::ostringstream text;
  text << std::put_time(&parts, format) << '.' << std::setw(3) << std::setfill('0') << ms;
  return text.str();
}

}  // namespace remote
