// tools/output/record_output.h
//
// How tail and replay show log records: the text line or JSON object of
// one record, after the record filters (record_filter.h) and up to
// --count. One implementation for both, so a replayed capture prints
// exactly what the live tail printed.
//
// A text line starts with the receive time: the time of day, with the date
// in front when the record is not from today, local or (--utc) UTC, or an
// RFC 3339 time (--timestamps iso). With several targets, each line starts
// with its target's application name, and its address as well when two
// targets share a name, in a colour of its own (derived from the address,
// so a target keeps its colour from run to run) when colour is on. Control
// characters in what the target sent (application, component, level,
// file, function and text) are escaped (visible_text.h): one record, one
// line.
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
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "model/arrived_record.h"
#include "model/levels.h"
#include "output/record_json.h"

namespace remote {

class OutputBuffer;

struct OutputOptions {
  bool json = false;
  bool color = false;
  long count = 0;         // 0: no limit
  bool isoTimes = false;  // --timestamps iso
  bool utc = false;
};

class RecordFilter;

class RecordPrinter {
 public:
  // Lines go to `out`, which the caller flushes.
  RecordPrinter(const OutputOptions& options, RecordFilter& filter, OutputBuffer& out);
  // Lines go to `out`, flushed one by one.
  RecordPrinter(const OutputOptions& options, RecordFilter& filter, std::ostream& out);

  // Text lines name their target once more than one is followed (JSON
  // always names it).
  void nameSources(bool on) { namingSources = on; }
  // The application name of a target, once known: a name two targets share
  // is shown with the address.
  void knowSource(std::string_view source, std::string_view application);
  // What a text line of `source` starts with ("[name] "), for lines of
  // its own (query's gaps) to start the same.
  std::string sourceText(std::string_view source);

  // Prints the record unless a filter drops it. `levels` are its
  // component's level descriptions, empty when unknown; `id` is a store's
  // (0: none), for JSON. Hot path: no allocation once the line buffer has
  // grown to the longest line.
  void offer(const codec::LogRecordView& record, SystemClock::time_point receivedAt,
             std::string_view source, const Levels& levels, std::int64_t id = 0);
  void offer(const ArrivedRecord& arrived, const Levels& levels, std::int64_t id = 0);
  // A JSON gap line (record_json.h) in place; text lines of gaps are the
  // caller's. Filters do not apply: what was lost is not known.
  void offerGap(const ArrivedGap& gap, std::int64_t id = 0);

  bool limitReached() const { return options.count > 0 && printed >= options.count; }

 private:
  // The text of one second, kept while records of that second come.
  struct SecondText {
    std::time_t second = -1;
    std::string text;
    std::string zone;  // "Z", "+01:00" or nothing
  };

  void appendSource(std::string_view source);
  void formatText(const codec::LogRecordView& r, SystemClock::time_point at,
                  std::string_view source, const Levels& levels);
  void formatJson(const codec::LogRecordView& r, SystemClock::time_point at,
                  std::string_view source, const Levels& levels, std::int64_t id);
  // The receive time of a text line, as --timestamps and --utc say.
  void appendTime(SystemClock::time_point at);
  // The application name of `source`; empty while not known.
  std::string_view applicationOfSource(std::string_view source) const;
  void emit();

  const OutputOptions& options;
  RecordFilter& filter;
  OutputBuffer* buffer = nullptr;
  std::ostream* stream = nullptr;
  bool namingSources = false;
  // By source (HOST:PORT): its application name, and the text that starts
  // its lines ("[name] ", coloured), made when a name becomes known.
  std::map<std::string, std::string, std::less<>> applicationOf;
  std::map<std::string, std::string, std::less<>> prefixOf;
  long printed = 0;
  std::string line;       // the line being formatted; its capacity is kept
  std::string levelName;  // a record's level name before escaping; likewise
  SecondText textSecond;
  JsonTime jsonTime;
};

}  // namespace remote
