// tools/store/clickhouse_filter.h
//
// A Filter as conditions on a ClickHouse store's table, and the one form
// of reading its rows: each event once (the first copy of its key, see
// clickhouse_store.h), in the readers' total order. Values go into the
// statement as quoted literals (the server's HTTP interface of 18.16
// takes no parameters); client levels are numbers we made. --grep and
// --exclude are not here: readers apply record_match.h to the rows, as
// every other front end does, because the server's match() is re2, not
// POSIX.
//
// Threads: pure functions.
#pragma once

#include <string>

#include "store/filter.h"

namespace store::clickhouse {

// Time, targets and the upper id bound: what records and gaps share.
// "1" when nothing is filtered. No afterId: readers handle it.
std::string commonCondition(const Filter& filter);
// The records' own: components, levels, --match. Throws StoreError
// kBadMatch for a --match it cannot mean (clickhouse_match.h).
std::string recordCondition(const Filter& filter);
// Records the filter selects, and with `gaps` its targets' gaps.
std::string selection(const Filter& filter, bool gaps);

// A statement giving the rows of `table` that `condition` selects, each
// key once, in order (newest first with `reverse`), in kReadColumns.
std::string orderedRows(const std::string& table, const std::string& condition, bool reverse);

}  // namespace store::clickhouse
