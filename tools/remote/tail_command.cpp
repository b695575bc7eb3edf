// tools/remote/tail_command.cpp
//
// `tarvin-remote tail`: follow one or more targets (follow.h) and print
// every log record that passes the filters (record_filter.h) as it arrives
// (record_output.h), until Ctrl-C, SIGTERM, SIGHUP, --count or --duration.
// With --pcap, every datagram received is also written to a capture that
// `replay` prints the same way; --pcap - writes the capture to standard
// output instead of the records. Each target's component list is checked
// against --component (component_check.h).
//
// Level names come from the level descriptions of each record's component
// (component_levels.h). While that answer is outstanding, records wait in a
// queue, so output keeps the order of arrival. Waiting never keeps the
// socket unread: the queue is printed a few batches' worth per wake-up,
// with the socket read in between, and it holds at most kMaxWaiting
// records, past which the oldest is printed with client-level numbers.
// Once its levels are known, a record is printed in place, straight from
// the receive batch, and the output is written once per batch.
//
// Exit codes: 0, or 1 when records were lost (sequence gaps, or dropped
// by the kernel because the receive buffer was full, or not written because
// the output still took nothing half a second after a stop) or a named
// target was never registered with.
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here.
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <memory>
#include <variant>

#include "base/note.h"
#include "base/output_buffer.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "common/unique_fd.h"
#include "follow/component_check.h"
#include "follow/component_levels.h"
#include "follow/follow.h"
#include "follow/level_names_queue.h"
#include "model/record_filter.h"
#include "output/record_output.h"
#include "remote/command.h"
#include "remote/command_options.h"

namespace remote {
namespace {

// Records waiting for their level names, at most: a flood that comes while
// an answer is outstanding (or lost) costs bounded memory and shows with
// level numbers rather than waiting out the retries.
constexpr std::size_t kMaxWaiting = 4096;
// Waiting records printed per wake-up, beside the batch read: two batches'
// worth, so that the queue drains while a flood goes on, never so many that
// a slow reader of the output keeps the socket unread for long.
constexpr std::size_t kPrintedPerWakeUp = 2 * ReceiveBatch::kCapacity;

// A gap waits behind records that wait for their levels (--json only).
using TailEntry = std::variant<ArrivedRecord, ArrivedGap>;

struct TailOptions {
  FollowOptions follow;
  OutputOptions output;
};

class Tail : public FollowHandler {
 public:
  Tail(const CommonOptions& common, const TailOptions& options, RecordFilter& filter)
      : options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        levels(follower.session(), common.retry),
        discard(options.follow.pcapPath == "-" ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1),
        out(discard ? discard.get() : STDOUT_FILENO),
        printer(options.output, filter, out),
        componentCheck(filter.components(), common.retry.timeout) {}

  int run() {
    follower.run();
    flush(/*final=*/true);
    out.flush();
    if (out.unwrittenLines() > 0) {
      note("warning: the output took nothing more after the stop: " +
           std::to_string(out.unwrittenLines()) + " records (" + sizeText(out.unwrittenBytes()) +
           ") not written");
      return kExitNoAnswer;
    }
    return follower.losses().anyLost() || !follower.allNamedReached() ? kExitNoAnswer : 0;
  }

 private:
  void onTargetAdded(FollowedTarget& /*target*/) override {
    printer.nameSources(follower.targetCount() > 1 || options.follow.discovering());
  }

  void onConfirmed(FollowedTarget& target) override {
    printer.knowSource(target.label, target.applicationName);
  }

  // With --json a gap is a line of its own, in order of arrival among the
  // records (said once its reorder window is over, so after the records
  // that came meanwhile).
  void onLost(FollowedTarget& target, const SequenceGap& gap) override {
    if (!options.output.json) return;
    const codec::Uuid uuid = target.uuid.value_or(codec::Uuid{});
    if (queue.empty()) {
      printer.offerGap({target.label, uuid, gap, gap.seenAt});
      return;
    }
    queue.push(ArrivedGap{target.label, uuid, gap, gap.seenAt});
  }

  // Hot path: a component seen before, nothing queued: printed in place.
  void onRecordView(FollowedTarget& target, const codec::LogRecordView& record,
                    SystemClock::time_point at) override {
    const Levels* known = levels.lookup(target.endpoint, record.uuid, record.component());
    if (queue.empty() && known != nullptr) {
      printer.offer(record, at, target.label, *known);
      return;
    }
    queue.push(ArrivedRecord{record.toRecord(), at, target.label});  // waits, in order
  }

  void onBatchEnd() override { out.flush(); }

  void onOtherDatagram(FollowedTarget& target, Received&& r) override {
    if (const auto* info = std::get_if<codec::ComponentInfo>(&r.datagram)) {
      componentCheck.onComponentInfo(target.label, *info);
      return;
    }
    levels.onDatagram(r.datagram);
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    if (queue.headReady())
      return Clock::now();  // more of the queue to print: look at the socket only
    return componentCheck.nextDeadline(levels.nextDeadline(next));
  }

  void onTimers(Clock::time_point now) override {
    levels.onTimers(now);
    componentCheck.onTimers(now);
    flush(/*final=*/false);
    out.flush();
  }

  bool done() const override { return printer.limitReached(); }

  // Prints queued records in order of arrival until one waits for its
  // component's level descriptions, or a portion is printed; at the end,
  // prints whatever is left.
  void flush(bool final) {
    std::size_t printed = 0;
    queue.release(final, [&](const TailEntry& head, const Levels& named) {
      if (printer.limitReached() || (!final && printed == kPrintedPerWakeUp)) return false;
      if (const auto* gap = std::get_if<ArrivedGap>(&head)) {
        printer.offerGap(*gap);
      } else {
        printer.offer(std::get<ArrivedRecord>(head), named);
      }
      ++printed;
      return true;
    });
  }

  const TailOptions& options;
  Follower follower;
  ComponentLevels levels;
  // With --pcap - the capture has standard output; records are still
  // counted (--count) but go to /dev/null.
  UniqueFd discard;
  OutputBuffer out;
  RecordPrinter printer;
  ComponentCheck componentCheck;
  LevelNamesQueue<TailEntry> queue{levels,
                                   [](const TailEntry& e) {
                                     const auto* r = std::get_if<ArrivedRecord>(&e);
                                     return r ? &r->record : nullptr;
                                   },
                                   kMaxWaiting};
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
        guardOutputOnStop();  // the stop handlers, and a reader that stopped reading let go
        Tail tail(common, options, filter);
        return tail.run();
      };
    }};

}  // namespace remote
