// tools/remote/replay_command.cpp
//
// `tarvin-remote replay FILE`: print a capture (tail --pcap, or tcpdump on
// the interface the targets talk on) as tail printed it live, through the
// same RecordPrinter. Level names cannot be asked for offline: they come
// from the level descriptions in the capture, which a recording tail asked
// for itself; a component without them shows "level K".
//
// Datagrams that are no target datagram (a client's requests in a tcpdump
// capture, other traffic) are counted and skipped.
//
// Threads: single-threaded tool.
#include <iostream>
#include <memory>

#include "remote/captured_log.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/note.h"
#include "remote/pcap_file.h"
#include "remote/record_output.h"

namespace remote {
namespace {

struct ReplayOptions {
  std::string file;
  OutputOptions output;
};

int runReplay(const ReplayOptions& options) {
  const CapturedLog log = readCapturedLog(readPcap(options.file));
  RecordPrinter printer(options.output, std::cout);
  printer.nameSources(log.sources.size() > 1);
  for (const auto& entry : log.entries) {
    if (const auto* gap = std::get_if<CapturedGap>(&entry)) {
      note(gap->source + ": " + gap->gap.text());
      continue;
    }
    const ArrivedRecord& arrived = std::get<CapturedRecord>(entry).arrived;
    printer.offer(arrived, log.levelsOf(arrived.record));
    if (printer.limitReached()) break;
  }
  if (log.skipped > 0)
    note("skipped " + std::to_string(log.skipped) + " packets that hold no target datagram");
  return 0;
}

// The options as typed.
struct ReplayFlags {
  CommonFlags common;
  ReplayOptions replay;
};

}  // namespace

const Command kReplayCommand = {
    "replay", "Print a capture of tail --pcap as tail printed it", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<ReplayFlags>();
      app.add_option("file", flags->replay.file,
                     "pcap file (tail --pcap, or tcpdump of the targets' traffic)")
          ->required();
      addOutputOptions(app, flags->replay.output, flags->common);
      addJsonFlag(app, flags->common);
      return [flags] {
        ReplayOptions options = flags->replay;
        options.output = readOutput(options.output, flags->common.read());
        return runReplay(options);
      };
    }};

}  // namespace remote
