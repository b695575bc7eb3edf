// tools/remote/tail_command.cpp
//
// `tarvin-remote tail`: follow one or more targets (follow.h) and print
// every log record that passes the filters (record_filter.h) as it arrives
// (record_output.h), until Ctrl-C, SIGTERM, SIGHUP, --count or --duration.
// With --pcap, every datagram received is also written to a capture that
// `replay` prints the same way; --pcap - writes the capture to standard
// output instead of the records.
//
// Level names come from the level descriptions of each record's component
// (level_book.h). While that answer is outstanding, records wait in a
// queue, so output keeps the order of arrival. Each target's component
// list is checked against --component (component_check.h).
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here.
#include <deque>
#include <iostream>
#include <memory>
#include <set>

#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/component_check.h"
#include "remote/follow.h"
#include "remote/level_book.h"
#include "remote/record_filter.h"
#include "remote/record_output.h"

namespace remote {
namespace {

struct TailOptions {
  FollowOptions follow;
  OutputOptions output;
};

class Tail : public FollowHandler {
 public:
  Tail(const CommonOptions& common, const TailOptions& options, RecordFilter& filter)
      : options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        printer(options.output, filter, options.follow.pcapPath == "-" ? discard : std::cout),
        book(common.retry),
        components(filter.components(), common.retry.timeout) {}

  int run() {
    follower.run();
    flush(/*final=*/true);
    return 0;
  }

 private:
  void onTargetAdded(FollowedTarget& /*target*/) override {
    printer.nameSources(follower.targetCount() > 1 || options.follow.discovering());
  }

  void onRecord(FollowedTarget& target, codec::LogRecord&& record,
                SystemClock::time_point at) override {
    if (named.insert(target.label).second) {
      // The first record of a target: every name known so far, so that two
      // targets of one name are told apart from their first lines on.
      for (std::size_t i = 0; i < follower.targetCount(); ++i) {
        printer.knowSource(follower.target(i).label, follower.target(i).applicationName);
      }
    }
    book.want(follower.session(), target.endpoint, record.uuid, record.strings[0]);
    queue.push_back({std::move(record), at, target.label, target.applicationName});
  }

  void onOtherDatagram(FollowedTarget& target, Received&& r) override {
    if (auto* levels = std::get_if<codec::LevelDescriptions>(&r.datagram)) {
      book.take(std::move(*levels));
    } else if (const auto* info = std::get_if<codec::ComponentInfo>(&r.datagram)) {
      components.onComponentInfo(target.label, *info);
    }
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    return components.nextDeadline(book.nextDeadline(next));
  }

  void onTimers(Clock::time_point now) override {
    book.onTimers(follower.session(), now);
    components.onTimers(now);
    flush(/*final=*/false);
  }

  bool done() const override { return printer.limitReached(); }

  // Prints queued records in order of arrival until one waits for its
  // component's level descriptions; at the end, prints whatever is left.
  void flush(bool final) {
    while (!queue.empty() && !printer.limitReached()) {
      const ArrivedRecord& head = queue.front();
      const codec::Uuid& uuid = head.record.uuid;
      const std::string& component = head.record.strings[0];
      if (!final && book.pending(uuid, component)) return;
      printer.offer(head, book.levels(uuid, component));
      queue.pop_front();
    }
  }

  const TailOptions& options;
  // With --pcap - the capture has standard output; records are still
  // counted (--count) but printed nowhere.
  std::ostream discard{nullptr};
  Follower follower;
  RecordPrinter printer;
  LevelBook book;
  ComponentCheck components;
  std::deque<ArrivedRecord> queue;
  std::set<std::string> named;  // targets whose records came
};

// The options as typed.
struct TailFlags {
  CommonFlags common;
  FollowFlags follow;
  OutputFlags output;
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
        RecordFilter filter(flags->output.filter);
        Tail tail(common, options, filter);
        return tail.run();
      };
    }};

}  // namespace remote
