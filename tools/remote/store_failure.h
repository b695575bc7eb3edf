// tools/remote/store_failure.h
//
// How a record-store fault ends a command: the store's message as it is
// ("FILE: another recorder is writing to this store (pid 123)"), exit 2
// for a query the store or the regex engine refused, 1 for everything
// else (a file that is not ours, newer, read-only, full, locked, damaged).
//
// Threads: a pure function; the tool is single-threaded.
#pragma once

#include "base/tool_error.h"
#include "store/store_error.h"

namespace remote {

inline ToolError toolError(const store::StoreError& error) {
  const bool badQuery = error.kind() == store::StoreError::Kind::kBadQuery;
  return ToolError{badQuery ? kExitUsage : kExitNoAnswer, error.what()};
}

}  // namespace remote
