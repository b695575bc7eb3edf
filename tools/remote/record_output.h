// tools/remote/record_output.h
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
// so a target keeps its colour from run to run) when colour is on.
//
// Threads: a printer belongs to one thread.
#pragma once

#include <ctime>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "codec/client_codec.h"
#include "remote/clocks.h"
#include "remote/levels.h"

namespace remote {

struct ArrivedRecord {
  codec::LogRecord record;
  SystemClock::time_point receivedAt;
  std::string source;       // "127.0.0.1:57008": the target that sent it
  std::string application;  // its application name; empty when unknown
};

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
  RecordPrinter(const OutputOptions& options, RecordFilter& filter, std::ostream& out);

  // Text lines name their target once more than one is followed (JSON
  // always names it).
  void nameSources(bool on) { namingSources = on; }
  // The application name of a target, as soon as it is known: a name two
  // targets share is shown with the address from the first line on.
  void knowSource(const std::string& source, const std::string& application);

  // Prints the record unless the filter drops it. `levels` are its
  // component's level descriptions, empty when unknown.
  void offer(const ArrivedRecord& arrived, const Levels& levels);

  bool limitReached() const { return options.count > 0 && printed >= options.count; }

 private:
  void print(const ArrivedRecord& arrived, const Levels& levels);
  std::string timeText(SystemClock::time_point at);
  std::string sourceText(const ArrivedRecord& arrived);

  const OutputOptions& options;
  RecordFilter& filter;
  std::ostream& out;
  bool namingSources = false;
  long printed = 0;
  std::map<std::string, std::string> applicationOf;  // by source (HOST:PORT)
  // Today's date in the shown time zone, looked up again once a second.
  std::time_t todayCheckedAt = 0;
  int todayYear = 0;
  int todayDay = 0;
};

}  // namespace remote
