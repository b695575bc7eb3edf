// tools/store/store_stats.h
//
// `query --stats` on the SQLite engine: how many records the store holds per target, component
// and level, over which receive times, and how many gaps and lost records
// it saw per target, for the records a Filter selects (its content
// filters included; context, limit and order do not apply).
//
// Threads: on the thread of the SqliteStore.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/filter.h"
#include "store/stats.h"

namespace store {

class SqliteStore;

Stats collectStats(SqliteStore& store, const Filter& filter = {});

// EXPLAIN QUERY PLAN of each statement collectStats runs.
std::string statsPlan(SqliteStore& store, const Filter& filter = {});

}  // namespace store
