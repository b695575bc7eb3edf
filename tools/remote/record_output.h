// tools/remote/record_output.h
//
// How tail and replay show log records: the text line or JSON object of
// one record, and the --component, --min-level and --count filters. One
// implementation for both, so a replayed capture prints exactly what the
// live tail printed.
//
// Threads: a printer belongs to one thread.
#pragma once

#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "codec/client_codec.h"
#include "remote/levels.h"
#include "remote/clocks.h"

namespace remote {

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
  RecordPrinter(const OutputOptions& options, std::ostream& out);

  // Text lines start with the record's source once more than one target
  // is followed (JSON always names it).
  void nameSources(bool on) { namingSources = on; }

  // Prints the record unless a filter drops it. `levels` are its
  // component's level descriptions, empty when unknown.
  void offer(const ArrivedRecord& arrived, const Levels& levels);

  bool limitReached() const { return options.count > 0 && printed >= options.count; }

 private:
  bool wanted(const codec::LogRecord& record, const Levels& levels) const;
  void print(const ArrivedRecord& arrived, const Levels& levels);

  const OutputOptions& options;
  std::ostream& out;
  const std::set<std::string> filter;
  bool namingSources = false;
  long printed = 0;
};

}  // namespace remote
