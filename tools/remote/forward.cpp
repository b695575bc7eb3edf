// tools/remote/forward.cpp
//
// `tarvin-remote forward TARGET... --to URL`: follow targets (follow.h) and
// hand every log record to a syslog collector as one RFC 5424 message
// (syslog_format.h) over UDP or TCP (syslog_sink.h). A sequence gap goes
// to the collector as a message of its own. On Ctrl-C, SIGTERM or
// --duration it unregisters, gives the collector a few seconds to take
// what is still queued, and says on stderr what it could not deliver.
//
// Exit codes: 0 when every message went out, 1 when some were dropped or
// not delivered (or a target could not be found).
//
// Threads: single-threaded tool; the Follower's poll() loop also waits on
// the collector's socket.
#include "remote/commands.h"
#include "remote/follow.h"
#include "remote/syslog_format.h"
#include "remote/syslog_sink.h"

namespace remote {
namespace {

// How long the collector gets, after the end, for what is still queued.
constexpr std::chrono::seconds kDrainLimit{3};

class Forward : public FollowHandler {
 public:
  Forward(const CommonOptions& common, const ForwardOptions& options)
      : options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/false),
        sink(openSyslogSink(parseCollectorUrl(options.to), options.queueCapacity, options.resendWindow)) {}

  int run() {
    follower.run();
    sink->drain(kDrainLimit);
    note("forwarded " + std::to_string(records) + " records" +
         (gaps > 0 ? " and " + std::to_string(gaps) + " notices of lost records" : std::string()));
    return sink->report() ? 0 : kExitNoAnswer;
  }

 private:
  static syslog::Origin originOf(const FollowedTarget& target, const codec::Uuid& uuid) {
    return {target.host, target.applicationName, target.label, uuid};
  }

  void onRecord(FollowedTarget& target, codec::LogRecord&& record, SystemClock::time_point at) override {
    sink->push(syslog::formatRecord(originOf(target, record.uuid), record, at, options.facility));
    ++records;
  }

  void onLost(FollowedTarget& target, const SequenceGap& gap) override {
    sink->push(syslog::formatGap(originOf(target, target.uuid.value_or(codec::Uuid{})), gap,
                                SystemClock::now(), options.facility));
    ++gaps;
  }

  Clock::time_point nextDeadline(Clock::time_point next) override { return sink->nextDeadline(next); }
  void onTimers(Clock::time_point now) override { sink->onTimers(now); }
  pollfd* extraWait() override { return sink->waitFor(); }
  void onExtraReady(short revents) override { sink->onReady(revents); }

  const ForwardOptions& options;
  Follower follower;
  std::unique_ptr<SyslogSink> sink;
  std::uint64_t records = 0;
  std::uint64_t gaps = 0;
};

}  // namespace

int runForward(const CommonOptions& common, const ForwardOptions& options) {
  Forward forward(common, options);
  return forward.run();
}

}  // namespace remote
