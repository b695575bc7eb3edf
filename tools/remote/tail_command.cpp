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
// Level names come from the level descriptions of each record's component,
// asked for (GLVD) the first time the component shows up from a target
// instance and cached under that instance's uuid. While that answer is
// outstanding, records wait in a queue, so output keeps the order of
// arrival; an unanswered GLVD is retried and then given up, after which
// that component's levels are shown as client-level numbers. Once its
// levels are known, a record is printed in place, straight from the
// receive batch, and the output is written once per batch.
//
// Exit codes: 0, or 1 when records were lost (sequence gaps, or dropped
// by the kernel because the receive buffer was full).
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here.
#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <memory>
#include <string_view>

#include "common/unique_fd.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/component_check.h"
#include "remote/follow.h"
#include "remote/note.h"
#include "remote/output_buffer.h"
#include "remote/record_filter.h"
#include "remote/record_output.h"
#include "remote/tool_error.h"
#include "wire_format.h"

namespace remote {
namespace {

struct TailOptions {
  FollowOptions follow;
  OutputOptions output;
};

// The level descriptions of one component of one target instance, as far
// as we know them.
struct ComponentLevels {
  enum class State { kPending, kKnown, kUnavailable } state = State::kPending;
  Levels levels;
  Endpoint target;  // where the GLVD goes
  std::uint32_t requestId = 0;
  int attemptsLeft = 0;
  Clock::time_point deadline;
};

using ComponentKey = std::pair<codec::Uuid, std::string>;

// Orders keys and looks them up by a record's component name in place,
// without building a string per record.
struct ComponentOrder {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    if (a.first != b.first) return a.first < b.first;
    return std::string_view(a.second) < std::string_view(b.second);
  }
};

class Tail : public FollowHandler {
 public:
  Tail(const CommonOptions& common, const TailOptions& options, RecordFilter& filter)
      : common(common),
        options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        discard(options.follow.pcapPath == "-" ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1),
        out(discard ? discard.get() : STDOUT_FILENO),
        printer(options.output, filter, out),
        componentCheck(filter.components(), common.retry.timeout) {}

  int run() {
    follower.run();
    flush(/*final=*/true);
    out.flush();
    return follower.losses().anyLost() ? kExitNoAnswer : 0;
  }

 private:
  void onTargetAdded(FollowedTarget& /*target*/) override {
    printer.nameSources(follower.targetCount() > 1 || options.follow.discovering());
  }

  void onConfirmed(FollowedTarget& target) override {
    printer.knowSource(target.label, target.applicationName);
  }

  // Hot path: a component seen before, nothing queued: printed in place.
  void onRecordView(FollowedTarget& target, const codec::LogRecordView& record,
                    SystemClock::time_point at) override {
    const ComponentLevels& entry = levelsOf(target, record);
    if (queue.empty() && entry.state != ComponentLevels::State::kPending) {
      printer.offer(record, at, target.label, entry.levels);
      return;
    }
    queue.push_back({record.toRecord(), at, target.label});  // waits for its levels, in order
  }

  void onBatchEnd() override { out.flush(); }

  void onOtherDatagram(FollowedTarget& target, Received&& r) override {
    if (const auto* info = std::get_if<codec::ComponentInfo>(&r.datagram)) {
      componentCheck.onComponentInfo(target.label, *info);
      return;
    }
    auto* levels = std::get_if<codec::LevelDescriptions>(&r.datagram);
    if (levels == nullptr) return;
    auto it = components.find({levels->uuid, levels->name});
    if (it != components.end() && it->second.state == ComponentLevels::State::kPending &&
        it->second.requestId == levels->requestId) {
      it->second.levels = std::move(levels->levels);
      it->second.state = ComponentLevels::State::kKnown;
    }
  }

  // The level descriptions of the record's component, asked for (GLVD)
  // the first time the component shows up.
  const ComponentLevels& levelsOf(const FollowedTarget& target,
                                  const codec::LogRecordView& record) {
    const std::pair<const codec::Uuid&, std::string_view> name{record.uuid, record.strings[0]};
    if (auto known = components.find(name); known != components.end()) return known->second;
    const ComponentKey key{record.uuid, std::string(record.strings[0])};
    ComponentLevels& entry = components[key];
    entry.target = target.endpoint;
    if (key.second.size() > wire::kMaxRequestNameLength) {
      entry.state = ComponentLevels::State::kUnavailable;  // the target ignores such a GLVD
      return entry;
    }
    entry.attemptsLeft = common.retry.retries;
    sendGlvd(key.second, entry);
    return entry;
  }

  void sendGlvd(const std::string& component, ComponentLevels& entry) {
    Session& session = follower.session();
    entry.requestId = session.nextRequestId();
    entry.deadline = Clock::now() + common.retry.timeout;
    session.send(entry.target, codec::buildGetLevelDescriptionsRequest(entry.requestId, component));
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    for (const auto& [key, entry] : components) {
      if (entry.state == ComponentLevels::State::kPending && entry.deadline < next)
        next = entry.deadline;
    }
    return componentCheck.nextDeadline(next);
  }

  void onTimers(Clock::time_point now) override {
    for (auto& [key, entry] : components) {
      if (entry.state != ComponentLevels::State::kPending || now < entry.deadline) continue;
      if (entry.attemptsLeft-- > 0) {
        sendGlvd(key.second, entry);
      } else {
        note("warning: no level descriptions for component '" + key.second + "' of " +
             entry.target.text() + "; showing client levels");
        entry.state = ComponentLevels::State::kUnavailable;
      }
    }
    componentCheck.onTimers(now);
    flush(/*final=*/false);
    out.flush();
  }

  bool done() const override { return printer.limitReached(); }

  // Prints queued records in order of arrival until one waits for its
  // component's level descriptions; at the end, prints whatever is left.
  void flush(bool final) {
    while (!queue.empty() && !printer.limitReached()) {
      const ArrivedRecord& head = queue.front();
      const ComponentLevels& entry = components[{head.record.uuid, head.record.strings[0]}];
      if (!final && entry.state == ComponentLevels::State::kPending) return;
      printer.offer(head, entry.levels);
      queue.pop_front();
    }
  }

  const CommonOptions& common;
  const TailOptions& options;
  Follower follower;
  // With --pcap - the capture has standard output; records are still
  // counted (--count) but go to /dev/null.
  UniqueFd discard;
  OutputBuffer out;
  RecordPrinter printer;
  ComponentCheck componentCheck;
  std::map<ComponentKey, ComponentLevels, ComponentOrder> components;
  std::deque<ArrivedRecord> queue;
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
