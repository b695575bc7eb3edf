// tools/store/clickhouse_rows.h
//
// Entries as the rows of a ClickHouse store's table, in its RowBinary
// format both ways: every string goes as its length and its bytes, so
// quotes, tabs, newlines, NUL and invalid UTF-8 come back exactly as they
// went (TabSeparated would escape and unescape each of them, and cost more:
// see README, "History on ClickHouse"). Records and gaps share one table
// and one row layout, told apart by `kind`; a gap keeps its first number in
// `sequence` and its length in `gap_count`.
//
// A row's key says which event it is whatever batch carried it: kind,
// target, uuid, sequence number and receive time. A batch sent again
// repeats its keys, and readers keep the first row (lowest id) of each.
//
// Threads: plain values and pure functions; a RowReader belongs to one
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "store/entry.h"

namespace store {

// The table's columns as append() writes them (`inserted` is the
// server's), and as readers read them (kReadColumns adds `inserted`).
inline constexpr const char* kWriteColumns =
    "kind, id, received_ns, target, uuid, application, sequence, gap_count, client_mask, "
    "client_level, level_name, pid, tid, tick, line, component, file, function, text";
inline constexpr const char* kReadColumns =
    "kind, id, received_ns, target, uuid, application, sequence, gap_count, client_mask, "
    "client_level, level_name, pid, tid, tick, line, component, file, function, text, "
    "toUInt32(inserted)";
// The columns of a row's key, for LIMIT 1 BY.
inline constexpr const char* kKeyColumns = "kind, target, uuid, sequence, received_ns";

inline constexpr std::uint8_t kRecordKind = 0;
inline constexpr std::uint8_t kGapKind = 1;

using RowKey = std::tuple<std::uint8_t, std::string, codec::Uuid, std::uint32_t, std::int64_t>;
RowKey keyOf(const Entry& entry);

std::int64_t nanosecondsOf(remote::SystemClock::time_point at);
remote::SystemClock::time_point fromNanoseconds(std::int64_t ns);

// Appends `entry` with `id` to `rows` in RowBinary, kWriteColumns' order.
void writeRow(std::string& rows, std::int64_t id, const Entry& entry);

struct ReadRow {
  Entry entry;
  std::uint32_t inserted = 0;  // when it reached the server, seconds since the epoch
};

// Rows in kReadColumns' order from an answer that comes in pieces.
class RowReader {
 public:
  void add(std::string_view piece) { buffer.append(piece); }
  // The next whole row, false when the rest has not come yet.
  bool next(ReadRow& row);
  // Whether bytes are left that make no whole row (after the last piece:
  // the answer was cut or carries the server's error).
  bool leftover() const { return position < buffer.size(); }
  std::string rest() const { return buffer.substr(position); }

 private:
  std::string buffer;
  std::size_t position = 0;
};

}  // namespace store
