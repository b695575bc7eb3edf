// tools/store/sql_regexp.h
//
// SQLite's REGEXP operator for a connection: `text REGEXP pattern` with
// POSIX extended expressions (what grep -E takes), compiled once per
// statement and reused for every row.
//
// Threads: register on the connection's thread; SQLite calls the function
// on whatever thread steps the statement.
#pragma once

#include <string>

#include "store/sqlite.h"

namespace store {

// Throws sqlite::Error should SQLite refuse the function.
void registerRegexp(sqlite::Database& database);

// The regex engine's message for a pattern that does not compile; empty
// when it does.
std::string regexpError(const std::string& pattern);

}  // namespace store
