// tools/remote/record_output.h
//
// How tail and replay show log records: the text line or JSON object of
// one record, and the --component, --min-level and --count filters. One
// implementation for both, so a replayed capture prints exactly what the
// live tail printed.
//
// A following tail prints a record in place, as the receive batch holds
// it, into a line buffer that is reused, then into an OutputBuffer its
// owner flushes once per batch: no allocation and no system call per
// record. Printers on a stream (replay) flush each line.
//
// Threads: a printer belongs to one thread.
#pragma once

#include <ctime>
#include <functional>
#include <iosfwd>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "codec/client_codec.h"
#include "remote/clocks.h"
#include "remote/levels.h"

namespace remote {

class OutputBuffer;

struct ArrivedRecord {
  codec::LogRecord record;
  SystemClock::time_point receivedAt;
  std::string source;  // "127.0.0.1:57008": the target that sent it
};

struct OutputOptions {
  bool json = false;
  bool color = false;
  long count = 0;                       // 0: no limit
  std::vector<std::string> components;  // empty: every component
  std::string minLevel;                 // empty: every level
};

class RecordPrinter {
 public:
  // Lines go to `out`, which the caller flushes.
  RecordPrinter(const OutputOptions& options, OutputBuffer& out);
  // Lines go to `out`, flushed one by one.
  RecordPrinter(const OutputOptions& options, std::ostream& out);

  // Text lines start with the record's source once more than one target
  // is followed (JSON always names it).
  void nameSources(bool on) { namingSources = on; }

  // Prints the record unless a filter drops it. `levels` are its
  // component's level descriptions, empty when unknown. Hot path: no
  // allocation once the line buffer has grown to the longest line.
  void offer(const codec::LogRecordView& record, SystemClock::time_point receivedAt,
             std::string_view source, const Levels& levels);
  void offer(const ArrivedRecord& arrived, const Levels& levels);

  bool limitReached() const { return options.count > 0 && printed >= options.count; }

 private:
  // The text of one second, kept while records of that second come.
  struct SecondText {
    std::time_t second = -1;
    std::string text;
  };

  bool wanted(const codec::LogRecordView& record, const Levels& levels) const;
  void formatText(const codec::LogRecordView& r, SystemClock::time_point at,
                  std::string_view source, const Levels& levels);
  void formatJson(const codec::LogRecordView& r, SystemClock::time_point at,
                  std::string_view source, const Levels& levels);
  void appendTime(SystemClock::time_point at, bool utc);

  const OutputOptions& options;
  OutputBuffer* buffer = nullptr;
  std::ostream* stream = nullptr;
  const std::set<std::string, std::less<>> filter;
  bool namingSources = false;
  long printed = 0;
  std::string line;       // the line being formatted; its capacity is kept
  std::string levelName;  // a JSON record's level name before escaping; likewise
  SecondText localSecond, utcSecond;
};

}  // namespace remote
