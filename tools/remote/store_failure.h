// tools/remote/store_failure.h
//
// How a record-store fault ends a command: the store's message as it is
// ("FILE: another recorder is writing to this store (pid 123)"), with the
// kind the store gives it (store_error.h), which main() turns into the exit
// status as for any other failure.
//
// Threads: a pure function; the tool is single-threaded.
#pragma once

#include "base/tool_error.h"
#include "store/store_error.h"

namespace remote {

inline ToolError toolError(const store::StoreError& error) {
  return ToolError{store::errorKindOf(error), error.what()};
}

}  // namespace remote
