// tools/remote/tail.cpp
//
// `tarvin-remote tail`: register, print every log record as it arrives,
// renew the registration well inside the target's 30-second lease, and
// unregister on the way out (Ctrl-C, SIGTERM, --count, --duration).
//
// Level names come from the level descriptions of each record's component,
// asked for (GLVD) the first time the component shows up and cached. While
// that answer is outstanding, records wait in a queue, so output keeps the
// order of arrival; an unanswered GLVD is retried and then given up, after
// which that component's levels are shown as client-level numbers.
//
// Sequence numbers go up by one per record the target builds, for every
// client alike, so a jump means records were lost on the way: reported on
// stderr as "lost N records".
//
// Threads: single-threaded tool; one poll() loop with deadlines for the
// renewal, the outstanding GLVDs and the end of --duration.
#include <unistd.h>

#include <ctime>
#include <deque>
#include <iomanip>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "protocol/wire_format.h"
#include "remote/commands.h"
#include "remote/levels.h"

namespace remote {
namespace {

using SystemClock = std::chrono::system_clock;

// How long to wait before asking again after a renewal went unanswered
// through all its retries; the lease is 30 s, so keep trying often.
constexpr std::chrono::seconds kRenewalRetryPause{1};

struct Arrived {
  codec::LogRecord record;
  SystemClock::time_point receivedAt;
};

// The level descriptions of one component, as far as we know them.
struct ComponentLevels {
  enum class State { kPending, kKnown, kUnavailable } state = State::kPending;
  Levels levels;
  std::uint32_t requestId = 0;
  int attemptsLeft = 0;
  Clock::time_point deadline;
};

const char* colourOf(int clientLevel) {
  if (clientLevel >= 31) return "\033[1;31m";  // the most severe: bold red
  if (clientLevel == 30) return "\033[33m";
  if (clientLevel == 29) return "\033[32m";
  if (clientLevel == 28) return "\033[36m";
  if (clientLevel >= 0) return "\033[2m";
  return "";
}
constexpr const char* kColourOff = "\033[0m";

std::string localTime(SystemClock::time_point at) {
  const std::time_t seconds = SystemClock::to_time_t(at);
  std::tm parts{};
  ::localtime_r(&seconds, &parts);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::ostringstream text;
  text << std::put_time(&parts, "%H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << ms;
  return text.str();
}

std::string utcIso(SystemClock::time_point at) {
  const std::time_t seconds = SystemClock::to_time_t(at);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
  std::ostringstream text;
  text << std::put_time(&parts, "%Y-%m-%dT%H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << ms << 'Z';
  return text.str();
}

// Hosts pass __FILE__, often a long absolute path; a line of text shows the
// file's name alone (JSON keeps the whole path).
std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

class Tail {
 public:
  Tail(const CommonOptions& common, const TailOptions& options)
      : common(common), options(options), session(common.retry),
        filter(options.components.begin(), options.components.end()) {}

  int run() {
    target = session.findTarget(options.target);
    const auto confirm = session.request(target, codec::buildRegistrationRequest(),
                                         [](const codec::Datagram& d) {
                                           return std::holds_alternative<codec::RegistrationConfirm>(d);
                                         },
                                         [this](Received&& r) { handle(std::move(r)); });
    if (!confirm) {
      if (session.stopRequested()) return 0;
      throw ToolError{kExitNoAnswer, "no registration confirm from " + target.text() +
                                         " (it may already serve its five clients)"};
    }
    note("tailing " + target.text() + " (" +
         std::get<codec::RegistrationConfirm>(*confirm).applicationName + ")");
    nextRenewal = Clock::now() + options.renewEvery;
    if (options.duration.count() > 0) endAt = Clock::now() + options.duration;

    while (!done) {
      Received received;
      const auto wait = session.receive(nextDeadline(), received);
      if (wait == Session::Wait::kStopped) break;
      if (wait == Session::Wait::kDatagram) handle(std::move(received));
      onTimers(Clock::now());
      flush(/*final=*/false);
    }
    flush(/*final=*/true);
    session.send(target, codec::buildUnregistrationRequest());
    return 0;
  }

 private:
  Clock::time_point nextDeadline() const {
    Clock::time_point next = renewing ? renewalDeadline : nextRenewal;
    if (endAt && *endAt < next) next = *endAt;
    for (const auto& [name, levels] : components) {
      if (levels.state == ComponentLevels::State::kPending && levels.deadline < next) next = levels.deadline;
    }
    return next;
  }

  void handle(Received&& r) {
    if (!r.from.answersFor(target)) return;  // only our target's datagrams count
    if (auto* record = std::get_if<codec::LogRecord>(&r.datagram)) {
      checkSequence(record->sequence);
      requestLevels(record->strings[0]);
      queue.push_back({std::move(*record), SystemClock::now()});
    } else if (auto* levels = std::get_if<codec::LevelDescriptions>(&r.datagram)) {
      auto it = components.find(levels->name);
      if (it != components.end() && it->second.state == ComponentLevels::State::kPending &&
          it->second.requestId == levels->requestId) {
        it->second.levels = std::move(levels->levels);
        it->second.state = ComponentLevels::State::kKnown;
      }
    } else if (std::holds_alternative<codec::RegistrationConfirm>(r.datagram) && renewing) {
      renewing = false;
      nextRenewal = Clock::now() + options.renewEvery;
    }
  }

  void checkSequence(std::uint32_t sequence) {
    if (expected && sequence != *expected) {
      const std::uint32_t skipped = sequence - *expected;  // modulo 2^32: survives the wrap
      if (skipped < 0x80000000u) {
        note("lost " + std::to_string(skipped) + " records (sequence " + std::to_string(*expected) +
             " to " + std::to_string(sequence - 1) + ")");
      } else {
        note("record " + std::to_string(sequence) + " arrived out of order");
        return;  // an old record must not move the expectation back
      }
    }
    expected = sequence + 1;
  }

  void requestLevels(const std::string& component) {
    if (components.contains(component)) return;
    ComponentLevels& entry = components[component];
    if (component.size() > wire::kMaxRequestNameLength) {
      entry.state = ComponentLevels::State::kUnavailable;  // the target ignores such a GLVD
      return;
    }
    entry.attemptsLeft = common.retry.retries;
    sendGlvd(component, entry);
  }

  void sendGlvd(const std::string& component, ComponentLevels& entry) {
    entry.requestId = session.nextRequestId();
    entry.deadline = Clock::now() + common.retry.timeout;
    session.send(target, codec::buildGetLevelDescriptionsRequest(entry.requestId, component));
  }

  void onTimers(Clock::time_point now) {
    if (endAt && now >= *endAt) done = true;
    if (!renewing && now >= nextRenewal) {
      renewing = true;
      renewalAttemptsLeft = common.retry.retries;
      renewalDeadline = now + common.retry.timeout;
      session.send(target, codec::buildRegistrationRequest());
    } else if (renewing && now >= renewalDeadline) {
      if (renewalAttemptsLeft-- > 0) {
        renewalDeadline = now + common.retry.timeout;
        session.send(target, codec::buildRegistrationRequest());
      } else {
        // An RRQ registers us anew if the target has dropped us, so keep
        // asking; records lost meanwhile show up as a sequence gap.
        note("warning: " + target.text() + " did not confirm the renewal; still trying");
        renewing = false;
        nextRenewal = now + kRenewalRetryPause;
      }
    }
    for (auto& [name, entry] : components) {
      if (entry.state != ComponentLevels::State::kPending || now < entry.deadline) continue;
      if (entry.attemptsLeft-- > 0) {
        sendGlvd(name, entry);
      } else {
        note("warning: no level descriptions for component '" + name + "'; showing client levels");
        entry.state = ComponentLevels::State::kUnavailable;
      }
    }
  }

  // Prints queued records in order of arrival until one waits for its
  // component's level descriptions; at the end, prints whatever is left.
  void flush(bool final) {
    while (!queue.empty() && !limitReached()) {
      const Arrived& head = queue.front();
      const ComponentLevels& entry = components[head.record.strings[0]];
      if (!final && entry.state == ComponentLevels::State::kPending) return;
      if (wanted(head.record, entry.levels)) {
        print(head, entry.levels);
        ++printed;
      }
      queue.pop_front();
    }
    if (limitReached()) done = true;
  }

  bool limitReached() const { return options.count > 0 && printed >= options.count; }

  bool wanted(const codec::LogRecord& record, const Levels& levels) const {
    if (!filter.empty() && !filter.contains(record.strings[0])) return false;
    if (options.minLevel.empty()) return true;
    const int minimum = lookupClientLevel(options.minLevel, levels);
    const int level = recordClientLevel(record.clientMask);
    // Higher client levels are the more severe ones.
    return minimum < 0 || level < 0 || level >= minimum;
  }

  void print(const Arrived& arrived, const Levels& levels) {
    const codec::LogRecord& r = arrived.record;
    const int clientLevel = recordClientLevel(r.clientMask);
    const std::string level = recordLevelName(r.clientMask, levels);
    const auto tick = static_cast<std::uint32_t>(r.integers[2]);
    if (common.json) {
      nlohmann::json line = {
          {"received", utcIso(arrived.receivedAt)},
          {"source", target.text()},
          {"uuid", codec::uuidToHex(r.uuid)},
          {"sequence", r.sequence},
          {"integers", r.integers},
          {"client_mask", r.clientMask},
          {"strings", r.strings},
          {"client_level", clientLevel >= 0 ? nlohmann::json(clientLevel) : nlohmann::json()},
          {"level", level},
          {"pid", r.integers[0]},
          {"tid", r.integers[1]},
          {"tick", tick},
          {"line", r.integers[3]},
          {"component", r.strings[0]},
          {"file", r.strings[1]},
          {"function", r.strings[2]},
          {"text", r.strings[3]},
      };
      std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
      return;
    }
    std::ostringstream levelField;
    levelField << std::left << std::setw(7) << level;
    const std::string coloured = common.color ? colourOf(clientLevel) + levelField.str() + kColourOff
                                              : levelField.str();
    std::cout << localTime(arrived.receivedAt) << " #" << r.sequence << ' ' << coloured << ' '
              << r.strings[0] << ' ' << r.integers[0] << '/' << r.integers[1] << " tick=" << tick << ' '
              << baseName(r.strings[1]) << ':' << r.integers[3] << ' ' << r.strings[2] << ": " << r.strings[3]
              << std::endl;
  }

  const CommonOptions& common;
  const TailOptions& options;
  Session session;
  const std::set<std::string> filter;
  Endpoint target;

  std::map<std::string, ComponentLevels> components;
  std::deque<Arrived> queue;
  std::optional<std::uint32_t> expected;  // the next sequence number, once one is seen
  long printed = 0;
  bool done = false;
  std::optional<Clock::time_point> endAt;

  Clock::time_point nextRenewal;
  bool renewing = false;  // an RRQ is out and not yet confirmed
  int renewalAttemptsLeft = 0;
  Clock::time_point renewalDeadline;
};

}  // namespace

int runTail(const CommonOptions& common, const TailOptions& options) {
  Tail tail(common, options);
  return tail.run();
}

}  // namespace remote
