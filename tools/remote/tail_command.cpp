// tools/remote/tail_command.cpp
//
// `tarvin-remote tail`: follow one or more targets (follow.h) and print
// every log record as it arrives (record_output.h), until Ctrl-C, SIGTERM,
// SIGHUP, --count or --duration. With --pcap, every datagram received is
// also written to a capture that `replay` prints the same way; --pcap -
// writes the capture to standard output instead of the records.
//
// Level names come from the level descriptions of each record's component,
// asked for (GLVD) the first time the component shows up from a target
// instance and cached under that instance's uuid. While that answer is
// outstanding, records wait in a queue, so output keeps the order of
// arrival; an unanswered GLVD is retried and then given up, after which
// that component's levels are shown as client-level numbers.
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here.
#include <deque>
#include <iostream>
#include <map>
#include <memory>

#include "protocol/wire_format.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/follow.h"
#include "remote/note.h"
#include "remote/record_output.h"

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

class Tail : public FollowHandler {
 public:
  Tail(const CommonOptions& common, const TailOptions& options)
      : common(common), options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        printer(options.output, options.follow.pcapPath == "-" ? discard : std::cout) {}

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
    requestLevels(target, record);
    queue.push_back({std::move(record), at, target.label});
  }

  void onOtherDatagram(FollowedTarget& /*target*/, Received&& r) override {
    auto* levels = std::get_if<codec::LevelDescriptions>(&r.datagram);
    if (levels == nullptr) return;
    auto it = components.find({levels->uuid, levels->name});
    if (it != components.end() && it->second.state == ComponentLevels::State::kPending &&
        it->second.requestId == levels->requestId) {
      it->second.levels = std::move(levels->levels);
      it->second.state = ComponentLevels::State::kKnown;
    }
  }

  void requestLevels(const FollowedTarget& target, const codec::LogRecord& record) {
    const ComponentKey key{record.uuid, record.strings[0]};
    if (components.contains(key)) return;
    ComponentLevels& entry = components[key];
    entry.target = target.endpoint;
    if (record.strings[0].size() > wire::kMaxRequestNameLength) {
      entry.state = ComponentLevels::State::kUnavailable;  // the target ignores such a GLVD
      return;
    }
    entry.attemptsLeft = common.retry.retries;
    sendGlvd(key.second, entry);
  }

  void sendGlvd(const std::string& component, ComponentLevels& entry) {
    Session& session = follower.session();
    entry.requestId = session.nextRequestId();
    entry.deadline = Clock::now() + common.retry.timeout;
    session.send(entry.target, codec::buildGetLevelDescriptionsRequest(entry.requestId, component));
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    for (const auto& [key, entry] : components) {
      if (entry.state == ComponentLevels::State::kPending && entry.deadline < next) next = entry.deadline;
    }
    return next;
  }

  void onTimers(Clock::time_point now) override {
    for (auto& [key, entry] : components) {
      if (entry.state != ComponentLevels::State::kPending || now < entry.deadline) continue;
      if (entry.attemptsLeft-- > 0) {
        sendGlvd(key.second, entry);
      } else {
        note("warning: no level descriptions for component '" + key.second + "' of " + entry.target.text() +
             "; showing client levels");
        entry.state = ComponentLevels::State::kUnavailable;
      }
    }
    flush(/*final=*/false);
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
  // With --pcap - the capture has standard output; records are still
  // counted (--count) but printed nowhere.
  std::ostream discard{nullptr};
  Follower follower;
  RecordPrinter printer;
  std::map<ComponentKey, ComponentLevels> components;
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
