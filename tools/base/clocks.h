// tools/base/clocks.h
//
// The two clocks of tarvin-remote: Clock (steady) for every deadline and
// timer, SystemClock for the receive times shown to the user and written
// to captures.
//
// Threads: any.
#pragma once

#include <chrono>

namespace remote {

using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

}  // namespace remote
