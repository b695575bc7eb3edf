// tools/store/sql_regexp.h
//
// The SQL side of --grep, --exclude and --ignore-case: a function
// record_match(expressions, text, function, file) that asks the one
// RecordMatch (remote/record_match.h) of the followers, so a query selects
// exactly the records tail shows. The expressions travel as one string
// parameter (matchArgument); the compiled RecordMatch hangs on the
// statement as SQLite auxiliary data, so a scan of a million rows compiles
// them once.
//
// Threads: register on the connection's thread; SQLite calls the function
// on whatever thread steps the statement.
#pragma once

#include <string>

#include "model/record_match.h"
#include "store/sqlite.h"

namespace store {

// Throws sqlite::Error should SQLite refuse the function.
void registerRecordMatch(sqlite::Database& database);

// The expressions as record_match()'s first argument.
std::string matchArgument(const remote::MatchFlags& flags);

// Throws StoreError kBadRegex, with the regex library's message, for the
// first expression that does not compile.
void checkMatch(const remote::MatchFlags& flags);

}  // namespace store
