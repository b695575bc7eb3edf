// tools/remote/tail_command.cpp
//
// `tarvin-remote tail`: follow one or more targets (follow.h) and print
// every log record as it arrives (record_output.h), until Ctrl-C, SIGTERM,
// --count or --duration. With --pcap, every datagram received is also
// written to a capture that `replay` prints the same way.
//
// Level names come from the level descriptions of each record's component
// (component_levels.h); while that answer is outstanding, records wait in a
// queue, so output keeps the order of arrival.
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here.
#include <deque>
#include <iostream>
#include <memory>

#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/component_levels.h"
#include "remote/follow.h"
#include "remote/record_output.h"

namespace remote {
namespace {

struct TailOptions {
  FollowOptions follow;
  OutputOptions output;
};

class Tail : public FollowHandler {
 public:
  Tail(const CommonOptions& common, const TailOptions& options)
      : options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        levels(follower.session(), common.retry), printer(options.output, std::cout) {}

  int run() {
    follower.run();
    flush(/*final=*/true);
    return 0;
  }

 private:
  void onTargetAdded(FollowedTarget& /*target*/) override {
    printer.nameSources(follower.targetCount() > 1 || options.follow.discovering());
  }

  void onRecord(FollowedTarget& target, codec::LogRecord&& record, SystemClock::time_point at) override {
    levels.request(target.endpoint, record);
    queue.push_back({std::move(record), at, target.label});
  }

  void onOtherDatagram(FollowedTarget& /*target*/, Received&& r) override { levels.onDatagram(r.datagram); }

  Clock::time_point nextDeadline(Clock::time_point next) override { return levels.nextDeadline(next); }

  void onTimers(Clock::time_point now) override {
    levels.onTimers(now);
    flush(/*final=*/false);
  }

  bool done() const override { return printer.limitReached(); }

  // Prints queued records in order of arrival until one waits for its
  // component's level descriptions; at the end, prints whatever is left.
  void flush(bool final) {
    while (!queue.empty() && !printer.limitReached()) {
      const ArrivedRecord& head = queue.front();
      const Levels* known = levels.levelsFor(head.record);
      if (!final && known == nullptr) return;
      printer.offer(head, known != nullptr ? *known : levels.levelsOrNone(head.record));
      queue.pop_front();
    }
  }

  const TailOptions& options;
  Follower follower;
  ComponentLevels levels;
  RecordPrinter printer;
  std::deque<ArrivedRecord> queue;
};

// The options as typed.
struct TailFlags {
  CommonFlags common;
  FollowFlags follow;
  OutputOptions output;
};

}  // namespace

const Command kTailCommand = {
    "tail", "Register with targets and print their log records", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<TailFlags>();
      addFollowOptions(app, flags->follow);
      addOutputOptions(app, flags->output, flags->common);
      addCommonOptions(app, flags->common);
      return [flags] {
        const CommonOptions common = flags->common.read();
        const TailOptions options{flags->follow.read("tail"), readOutput(flags->output, common)};
        Tail tail(common, options);
        return tail.run();
      };
    }};

}  // namespace remote
