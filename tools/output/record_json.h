// tools/output/record_json.h
//
// The one JSON form of a log record and of a sequence gap, as
// docs/record.schema.json writes it down: what tail --json, replay --json,
// query --json, the web API, its event stream and the page's Download all
// print. One compact object per entry, keys in sorted order (as a sorted
// dump of the same object gives them), strings exact (JSON escapes, every
// byte that is not UTF-8 replaced by U+FFFD, json_text.h).
//
// `received` is the receive time in RFC 3339, UTC, with microseconds
// ("2026-12-07T14:32:02.123456Z"): it sorts as text, keeps what the
// receiving clock said to the microsecond, and jq, Python and a browser's
// Date all parse it. `id` is the store's, written only for entries that
// come from a store.
//
// Written by hand into the caller's line, for tail's hundred thousand
// records a second: nothing here allocates once `out` has room and the
// JsonTime has seen the record's second.
//
// Threads: a JsonTime belongs to one thread; the functions are pure.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "model/arrived_record.h"
#include "model/sequence_check.h"

namespace remote {

// Appends receive times as JSON strings, keeping the text of the last
// second seen.
class JsonTime {
 public:
  void append(std::string& out, SystemClock::time_point at);
  // The text alone, without the quotes.
  void appendText(std::string& out, SystemClock::time_point at);

 private:
  std::time_t second = -1;
  char text[24] = {};  // "2026-12-07T14:32:02"
  std::size_t length = 0;
};

// Where a record or gap came from, and its id in a store (0: none).
struct JsonOrigin {
  std::string_view target;       // "127.0.0.1:57008"
  std::string_view application;  // the target's name; empty when not known
  std::int64_t id = 0;
};

// `levelName` as levels.h names the record's level (appendRecordLevelName).
void appendJsonRecord(std::string& out, JsonTime& time, const codec::LogRecordView& record,
                      SystemClock::time_point receivedAt, const JsonOrigin& origin,
                      std::string_view levelName);

// A gap: its target and uuid are the gap's own (the instance whose record
// revealed it), its `received` is when that record came.
void appendJsonGap(std::string& out, JsonTime& time, const ArrivedGap& gap,
                   std::string_view application, std::int64_t id = 0);

// A receive time as `received` has it, for other JSON that names one
// (query --stats): "2026-12-07T14:32:02.123456Z".
std::string receivedText(SystemClock::time_point at);

}  // namespace remote
