// tools/model/arrived_record.h
//
// A log record, and a gap of records that never came, as the tools hold
// them once they have arrived: the decoded
// record, when it arrived and from which target. Everything that shows,
// filters, forwards or keeps records takes this one type; its fields are
// read by name (component(), text(), pid(), ...), never by wire index.
//
// Threads: a plain value.
#pragma once

#include <cstdint>
#include <string>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "model/sequence_check.h"

namespace remote {

struct ArrivedRecord {
  codec::LogRecord record;
  SystemClock::time_point receivedAt;
  std::string source;  // "127.0.0.1:57008": the target that sent it

  const std::string& component() const { return record.component(); }
  const std::string& file() const { return record.file(); }
  const std::string& function() const { return record.function(); }
  const std::string& text() const { return record.text(); }
  std::int32_t pid() const { return record.pid(); }
  std::int32_t tid() const { return record.tid(); }
  std::uint32_t tick() const { return record.tick(); }
  std::int32_t line() const { return record.line(); }
};

// Records a target instance numbered that never arrived, seen when the
// record after them came: beside ArrivedRecord in every stream of entries.
struct ArrivedGap {
  std::string target;  // "127.0.0.1:57008"
  codec::Uuid uuid{};  // of the target instance that numbered them
  SequenceGap gap;
  SystemClock::time_point seenAt;  // when the record after them arrived

  std::uint32_t last() const { return gap.first + gap.count - 1; }  // modulo 2^32, as numbered
};

}  // namespace remote
