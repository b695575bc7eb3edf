// tools/remote/replay_command.cpp
//
// `tarvin-remote replay FILE`: print a capture (tail --pcap, or tcpdump on
// the interface the targets talk on; pcap or pcapng, "-" for standard
// input) as tail printed it live, through the same filters and the same
// RecordPrinter. Level names cannot be asked for offline: they come from
// the level descriptions in the capture, which a recording tail asked for
// itself; a component without them shows "level K". A gap in the
// sequence numbers is said on stderr and, with --json, is a gap object in
// place among the records.
//
// Datagrams that are no target datagram (a client's requests in a tcpdump
// capture, other traffic) are counted and skipped. A capture that ends
// inside a packet is printed up to there, and then the cut is an error
// (exit 1).
//
// Threads: single-threaded tool.
#include <iostream>
#include <memory>

#include "base/note.h"
#include "base/tool_error.h"
#include "capture/captured_log.h"
#include "capture/pcap_file.h"
#include "model/record_filter.h"
#include "output/record_output.h"
#include "remote/command.h"
#include "remote/command_options.h"

namespace remote {
namespace {

struct ReplayOptions {
  std::string file;
  OutputOptions output;
};

int runReplay(const ReplayOptions& options, RecordFilter& filter) {
  const PcapContents capture = readPcap(options.file);
  const CapturedLog log = readCapturedLog(capture);
  RecordPrinter printer(options.output, filter, std::cout);
  printer.nameSources(log.sources.size() > 1);
  for (const auto& entry : log.entries) {
    if (const auto* gap = std::get_if<CapturedGap>(&entry)) {
      note(gap->target + ": " + gap->gap.text());
      // With --json, also in place among the records, as query shows it.
      printer.knowSource(gap->target, gap->applicationName);
      printer.offerGap(*gap);
      continue;
    }
    const CapturedRecord& captured = std::get<CapturedRecord>(entry);
    printer.knowSource(captured.arrived.source, captured.applicationName);
    printer.offer(captured.arrived, log.levelsOf(captured.arrived.record));
    if (printer.limitReached()) break;
  }
  if (log.late > 0) {
    note(std::to_string(log.late) +
         " records arrived late, after they were said lost: not lost after all");
  }
  if (log.skipped > 0)
    note("skipped " + std::to_string(log.skipped) + " packets that hold no target datagram");
  if (capture.cut) {
    // What came before the cut is shown; the rest of the packet is lost.
    throw ToolError{
        ErrorKind::kDataLost,
        (options.file == "-" ? std::string("standard input") : options.file) + ": " + *capture.cut};
  }
  return 0;
}

// The options as typed.
struct ReplayFlags {
  CommonFlags common;
  std::string file;
  OutputFlags output;
};

}  // namespace

const Command kReplayCommand = {
    "replay", "Print a capture of tail --pcap as tail printed it", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<ReplayFlags>();
      app.add_option("file", flags->file,
                     "pcap or pcapng file (tail --pcap, or tcpdump of the targets' traffic); - "
                     "reads standard input")
          ->required();
      addOutputOptions(app, flags->output, flags->common);
      addJsonFlag(app, flags->common);
      return [flags] {
        const ReplayOptions options{flags->file, readOutput(flags->output, flags->common.read())};
        RecordFilter filter(flags->output.filter);
        return runReplay(options, filter);
      };
    }};

}  // namespace remote
