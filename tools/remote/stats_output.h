// tools/remote/stats_output.h
//
// How query --stats shows a store's statistics (store/store_stats.h): a
// few aligned tables, or one JSON object.
//
// Threads: a pure function of its arguments; the tool is single-threaded.
#pragma once

#include <iosfwd>

#include "store/store_stats.h"

namespace remote {

void printStats(const store::Stats& stats, bool json, std::ostream& out);

}  // namespace remote
