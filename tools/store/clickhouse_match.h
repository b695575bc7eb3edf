// tools/store/clickhouse_match.h
//
// --match on a ClickHouse store: the full-text syntax query takes (words,
// "phrases", prefix*, AND, OR, NOT, parentheses, column:word over text,
// function, file and component) turned into a condition on the row. A
// server has no full-text index as SQLite's FTS5 is one, so each phrase
// becomes a regular expression over the column, lowered: its words in a
// row with nothing but separators between them, each whole (a prefix*
// only at its start). Words are what FTS5's default tokenizer makes them:
// runs of ASCII letters and digits and of any byte above ASCII; ASCII is
// compared without case. FTS5 also folds the case of other letters and
// drops their accents; this does not (README says so). The expressions
// hold only our separator class and the user's letters and digits, so no
// difference between regex dialects can change their meaning.
//
// Threads: pure functions.
#pragma once

#include <string>

namespace store {

// The condition over the row's columns. Throws StoreError kBadMatch for a
// query it cannot read or that uses what it does not offer (NEAR, ^,
// {columns}:, -column:).
std::string matchCondition(const std::string& query);

}  // namespace store
