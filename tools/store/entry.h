// tools/store/entry.h
//
// What a store keeps, whichever engine keeps it: records with what the
// recorder adds to them, and gaps, in one sequence of entries numbered by
// the store.
//
// Threads: plain values.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <variant>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "model/arrived_record.h"
#include "model/sequence_check.h"

namespace store {

// A record as tail shows it, with what the store adds.
struct StoredRecord {
  std::int64_t id = 0;            // set by the store
  remote::ArrivedRecord arrived;  // the decoded record, receive time, target "address:port"
  std::string applicationName;    // of the target instance that sent it
  std::string levelName;          // as tail names it; empty: "level K" from the mask
};

// Records a target numbered but that never arrived, seen when the record
// after them came.
struct StoredGap : remote::ArrivedGap {
  std::int64_t id = 0;  // set by the store
  std::string applicationName;
};

using Entry = std::variant<StoredRecord, StoredGap>;

struct Retention {
  std::int64_t maxRecords = 0;         // 0: no limit
  std::chrono::nanoseconds maxAge{0};  // 0: no limit
};

}  // namespace store
