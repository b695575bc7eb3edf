// tools/remote/replay_command.cpp
//
// `tarvin-remote replay FILE`: print a capture (tail --pcap, or tcpdump on
// the interface the targets talk on) as tail printed it live, through the
// same RecordPrinter. Level names cannot be asked for offline: they come
// from the level descriptions in the capture, which a recording tail asked
// for itself; a component without them shows "level K".
//
// Datagrams that are no target datagram (a client's requests in a tcpdump
// capture, other traffic) are counted and skipped. A capture that ends
// inside a packet is printed up to there, and then the cut is an error
// (exit 1).
//
// Threads: single-threaded tool.
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/note.h"
#include "remote/pcap_file.h"
#include "remote/record_filter.h"
#include "remote/record_output.h"
#include "remote/sequence_check.h"
#include "remote/tool_error.h"

namespace remote {
namespace {

struct ReplayOptions {
  std::string file;
  OutputOptions output;
};

int runReplay(const ReplayOptions& options, RecordFilter& filter) {
  const PcapContents capture = readPcap(options.file);
  std::size_t skipped = capture.skipped;

  struct Replayed {
    std::string source;
    SystemClock::time_point at;
    codec::LogRecord record;
  };
  std::vector<Replayed> records;
  std::map<std::pair<codec::Uuid, std::string>, Levels> levels;
  std::map<std::string, std::string>
      applications;  // by source, from confirms and discovery answers
  std::set<std::string> recordSources;
  for (const CapturedDatagram& captured : capture.datagrams) {
    auto parsed = codec::parseDatagram(captured.payload);
    if (!parsed) {
      ++skipped;
      continue;
    }
    const std::string source = Endpoint{captured.from}.text();
    if (const auto* d = std::get_if<codec::LevelDescriptions>(&*parsed)) {
      levels.emplace(std::pair{d->uuid, d->name}, d->levels);  // the first answer wins, as in tail
    } else if (const auto* confirm = std::get_if<codec::RegistrationConfirm>(&*parsed)) {
      applications[source] = confirm->applicationName;
    } else if (const auto* found = std::get_if<codec::DiscoveryResponse>(&*parsed)) {
      applications.try_emplace(source, found->applicationName);
    } else if (auto* record = std::get_if<codec::LogRecord>(&parsed.value())) {
      recordSources.insert(source);
      records.push_back({source, captured.at, std::move(*record)});
    }
  }

  RecordPrinter printer(options.output, filter, std::cout);
  printer.nameSources(recordSources.size() > 1);
  // By source: the instance it last came from and its sequence check,
  // which reads the capture's times as the live check read the clock.
  std::map<std::string, std::pair<codec::Uuid, SequenceCheck>> streams;
  std::vector<SequenceGap> lost;
  const auto sayLost = [&](const std::string& source) {
    for (const SequenceGap& gap : lost) note(source + ": " + gap.text());
    lost.clear();
  };
  static const Levels kUnknown;
  for (auto& [source, at, record] : records) {
    const Clock::time_point when(
        std::chrono::duration_cast<Clock::duration>(at.time_since_epoch()));
    auto [stream, fresh] = streams.try_emplace(source, record.uuid, SequenceCheck());
    SequenceCheck& sequence = stream->second.second;
    if (!fresh && stream->second.first != record.uuid) {
      // A restarted target counts from 0 again, as tail reported it live.
      sequence.takeAll(lost);
      sayLost(source);
      stream->second.first = record.uuid;
      sequence.restart(0);
    }
    sequence.takeDue(when, lost);  // holes whose time ran out before this record came
    const auto verdict = sequence.check(record.sequence, when);
    if (verdict == SequenceCheck::Verdict::kLate) {
      note(source + ": record " + std::to_string(record.sequence) +
           " arrived late, after it was reported lost");
    }
    sequence.takeDue(when, lost);
    sayLost(source);
    const auto known = levels.find({record.uuid, record.strings[0]});
    const auto application = applications.find(source);
    printer.offer({std::move(record), at, source,
                   application == applications.end() ? "" : application->second},
                  known == levels.end() ? kUnknown : known->second);
    if (printer.limitReached()) break;
  }
  if (!printer.limitReached()) {
    for (auto& [source, stream] : streams) {
      stream.second.takeAll(lost);
      sayLost(source);
    }
  }
  if (skipped > 0)
    note("skipped " + std::to_string(skipped) + " packets that hold no target datagram");
  if (capture.cut) {
    // What came before the cut is shown; the rest of the packet is lost.
    throw ToolError{
        kExitNoAnswer,
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
