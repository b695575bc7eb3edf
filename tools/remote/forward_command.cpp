// tools/remote/forward_command.cpp
//
// `tarvin-remote forward TARGET... --to URL`: follow targets (follow.h) and
// hand every log record that passes the filters tail has (record_filter.h)
// to a syslog collector as one RFC 5424 message (syslog_format.h) over UDP
// or TCP (syslog_sink.h), so a debug flood need not reach the collector.
// A sequence gap goes to the collector as a message of its own. A
// --min-level given as a name needs the component's level descriptions
// (component_levels.h): records wait for them, in order of arrival. On Ctrl-C, SIGTERM or
// --duration it unregisters, gives the collector a few seconds to take
// what is still queued, and says on stderr what it could not deliver.
//
// Records are formatted in place into one reused message and handed to
// the sink, which sends a receive batch's worth at once (sendmmsg() or one
// write) at the end of the batch.
//
// Exit codes: 0 when every record arrived and every message went out, 1
// when records were lost on the way (sequence gaps, kernel drops),
// messages were dropped or not delivered, or a named target was never
// registered with.
//
// Threads: single-threaded tool; the Follower's poll() loop also waits on
// the collector's socket.
#include <deque>
#include <memory>

#include "base/note.h"
#include "base/plural.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "cli/option_checks.h"
#include "follow/component_check.h"
#include "follow/component_levels.h"
#include "follow/follow.h"
#include "follow/level_names_queue.h"
#include "model/record_filter.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "syslog/syslog_format.h"
#include "syslog/syslog_sink.h"

namespace remote {
namespace {

// How long the collector gets, after the end, for what is still queued.
constexpr std::chrono::seconds kDrainLimit{3};

struct ForwardOptions {
  FollowOptions follow;
  std::string to;  // udp://HOST[:PORT] or tcp://HOST[:PORT]
  int facility = syslog::kFacilityUser;
  std::size_t queueCapacity = 10'000;  // messages waiting for a TCP collector
  std::size_t resendWindow = 256;      // messages sent again after a reconnect
};

class Forward : public FollowHandler {
 public:
  Forward(const CommonOptions& common, const ForwardOptions& options, RecordFilter& filter)
      : options(options),
        filter(filter),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        sink(openSyslogSink(parseCollectorUrl(options.to), options.queueCapacity,
                            options.resendWindow)),
        levels(follower.session(), common.retry),
        components(filter.components(), common.retry.timeout) {}

  int run() {
    follower.run();
    flushWaiting(/*final=*/true);
    sink->flush();
    sink->drain(kDrainLimit);
    // What went out and what did not is the sink's to say: this counts
    // what was handed to it, never "forwarded" beside "not delivered".
    note("made " + counted(records, "record") +
         (gaps > 0 ? " and " + counted(gaps, "notice") + " of lost records" : std::string()) +
         " into messages");
    const bool delivered = sink->report();
    return delivered && !follower.losses().anyLost() && follower.allNamedReached() ? 0
                                                                                   : kExitNoAnswer;
  }

 private:
  static syslog::Origin originOf(const FollowedTarget& target, const codec::Uuid& uuid) {
    return {target.host, target.applicationName, target.label, uuid};
  }

  // Hot path: formatted into `message`, whose buffer is kept. Only a
  // --min-level name makes records wait for their component's levels.
  void onRecordView(FollowedTarget& target, const codec::LogRecordView& record,
                    SystemClock::time_point at) override {
    if (!filter.needsLevels()) {
      static const Levels kNone;
      if (filter.wanted(record, kNone)) send(originOf(target, record.uuid), record, at);
      return;
    }
    codec::LogRecord kept = record.toRecord();
    levels.lookup(target.endpoint, kept.uuid, kept.component());
    waiting.push({target.host, target.applicationName, target.label, std::move(kept), at});
    flushWaiting(/*final=*/false);
  }

  void send(const syslog::Origin& origin, const codec::LogRecordView& record,
            SystemClock::time_point at) {
    message.clear();
    syslog::appendRecord(message, origin, record, at, options.facility);
    sink->push(message);
    ++records;
  }

  // Sends waiting records in order of arrival up to the first whose
  // component's levels are still asked for; at the end, all of them.
  void flushWaiting(bool final) {
    waiting.release(final, [&](const Waiting& head, const Levels& named) {
      const codec::LogRecordView view(head.record);
      if (filter.wanted(view, named))
        send({head.host, head.application, head.label, head.record.uuid}, view, head.at);
      return true;
    });
  }

  void onOtherDatagram(FollowedTarget& target, Received&& r) override {
    levels.onDatagram(r.datagram);
    if (const auto* info = std::get_if<codec::ComponentInfo>(&r.datagram)) {
      components.onComponentInfo(target.label, *info);
    }
  }

  void onBatchEnd() override { sink->flush(); }

  void onLost(FollowedTarget& target, const SequenceGap& gap) override {
    sink->push(syslog::formatGap(originOf(target, target.uuid.value_or(codec::Uuid{})), gap,
                                 SystemClock::now(), options.facility));
    ++gaps;
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    return components.nextDeadline(levels.nextDeadline(sink->nextDeadline(next)));
  }
  void onTimers(Clock::time_point now) override {
    levels.onTimers(now);
    components.onTimers(now);
    flushWaiting(/*final=*/false);
    sink->onTimers(now);
  }
  pollfd* extraWait() override { return sink->waitFor(); }
  void onExtraReady(short revents) override { sink->onReady(revents); }

  const ForwardOptions& options;
  RecordFilter& filter;
  Follower follower;
  std::unique_ptr<SyslogSink> sink;
  // A record waiting for its levels, with what its message needs of its
  // target (which may be gone by the time the levels come).
  struct Waiting {
    std::string host, application, label;
    codec::LogRecord record;
    SystemClock::time_point at;
  };

  std::string message;
  ComponentLevels levels;
  ComponentCheck components;
  LevelNamesQueue<Waiting> waiting{levels, [](const Waiting& w) { return &w.record; }};
  std::uint64_t records = 0;
  std::uint64_t gaps = 0;
};

// The options as typed.
struct ForwardFlags {
  CommonFlags common;
  FollowFlags follow;
  FilterFlags filter;
  ForwardOptions forward;  // all but the follow options and the facility
  std::string facility = "user";
};

}  // namespace

const Command kForwardCommand = {
    "forward", "Send the log records of targets to a syslog collector", [](CLI::App& app) -> Run {
      auto flags = std::make_shared<ForwardFlags>();
      app.footer(
          "Each record becomes one RFC 5424 message: severity from the client level\n"
          "(31 err, 30 warning, 29 info, 28 and below debug), MSGID the component,\n"
          "structured data [tarvin@32473 target uuid seq level ...]. TCP frames are\n"
          "octet-counted; a lost connection is retried, the last --resend messages\n"
          "are sent again after reconnecting. At the end a TCP collector that closes\n"
          "its side confirms it read everything; of one that stays open, only what its\n"
          "host acknowledged is known, and said.");
      addFollowOptions(app, flags->follow);
      addFilterOptions(app, flags->filter);
      app.add_option("--to", flags->forward.to,
                     "Collector: udp://HOST[:PORT] or tcp://HOST[:PORT] (port 514)")
          ->required();
      app.add_option("--facility", flags->facility,
                     "Syslog facility: user, daemon, local0-local7 or 0-23")
          ->capture_default_str();
      app.add_option("--queue", flags->forward.queueCapacity,
                     "Messages kept while a TCP collector is away")
          ->check(cli::wholeNumberCheck(1, 10'000'000))
          ->type_name("N")
          ->capture_default_str();
      app.add_option("--resend", flags->forward.resendWindow,
                     "Messages sent again after a TCP reconnect")
          ->check(cli::wholeNumberCheck(0, 1'000'000))
          ->type_name("N")
          ->capture_default_str();
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags] {
        const CommonOptions common = flags->common.read();
        ForwardOptions options = flags->forward;
        options.follow = flags->follow.read("forward");
        const auto facility = syslog::parseFacility(flags->facility);
        if (!facility)
          throw ToolError{ErrorKind::kBadInput, "--facility: unknown facility '" + flags->facility +
                                                    "' (user, daemon, local0-local7 or 0-23)"};
        options.facility = *facility;
        RecordFilter filter(flags->filter);
        installStopHandlers();
        Forward forward(common, options, filter);
        return forward.run();
      };
    }};

}  // namespace remote
