// tools/follow/loss_report.cpp
//
// Counting losses and saying them at most once a second.
//
// Threads: single-threaded; see loss_report.h.
#include "follow/loss_report.h"

#include <algorithm>

#include "base/note.h"
#include "base/plural.h"

namespace remote {
namespace {

constexpr std::chrono::seconds kLineEvery{1};

}  // namespace

void LossReport::onGap(const std::string& target, const SequenceGap& gap, Clock::time_point now) {
  lostRecords += gap.count;
  auto it = std::find_if(pending.begin(), pending.end(),
                         [&](const Pending& p) { return p.target == target; });
  if (it == pending.end()) it = pending.insert(pending.end(), Pending{target, gap});
  it->last = gap.first + gap.count - 1;
  it->records += gap.count;
  ++it->gaps;
  if (quiet(now)) say(now);
}

void LossReport::onRestartGap(const std::string& target, const SequenceGap& gap) {
  beforeRestart += gap.count;
  note(target + ": its new instance logged " + counted(gap.count, "record") + " (sequence 0 to " +
       std::to_string(gap.count - 1) + ") before we registered again");
}

void LossReport::onLate(Clock::time_point now) {
  ++lateRecords;
  if (quiet(now)) say(now);
}

void LossReport::onKernelDrops(std::uint64_t total, Clock::time_point now) {
  if (total <= drops) return;
  drops = total;
  if (quiet(now)) say(now);
}

Clock::time_point LossReport::nextDeadline(Clock::time_point next) const {
  const bool due = !pending.empty() || drops > dropsSaid || lateRecords > lateSaid;
  return due ? std::min(next, quietUntil) : next;
}

void LossReport::onTimers(Clock::time_point now) {
  if (quiet(now) && (!pending.empty() || drops > dropsSaid || lateRecords > lateSaid)) say(now);
}

void LossReport::say(Clock::time_point now) {
  for (const Pending& p : pending) {
    if (p.gaps == 1) {
      note(p.target + ": " + p.first.text());
    } else {
      note(p.target + ": lost " + counted(p.records, "record") + " in " + counted(p.gaps, "gap") +
           " (sequence " + std::to_string(p.first.first) + " to " + std::to_string(p.last) + ")");
    }
  }
  pending.clear();
  if (lateRecords > lateSaid) {
    note(counted(lateRecords - lateSaid, "record") +
         " arrived late, after they were said lost: not lost after all");
    lateSaid = lateRecords;
  }
  if (drops > dropsSaid) {
    note("warning: receive buffer full: the kernel dropped " +
         counted(drops - dropsSaid, "datagram") + " (a larger --rcvbuf holds longer bursts)");
    dropsSaid = drops;
  }
  quietUntil = now + kLineEvery;
}

void LossReport::finish(std::size_t receiveBuffer) {
  quietUntil = {};
  say(Clock::now());
  note("received " + counted(records, "record") + "; " + std::to_string(lost()) +
       " lost (sequence gaps" +
       (lateRecords > 0 ? ", " + std::to_string(lateRecords) + " came late" : "") + "); " +
       counted(drops, "datagram") + " dropped by the kernel (receive buffer " +
       sizeText(receiveBuffer) + ")" +
       (beforeRestart > 0 ? "; " + std::to_string(beforeRestart) +
                                " logged by restarted targets before we registered again"
                          : ""));
}

std::string sizeText(std::size_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1u << 10)) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace remote
