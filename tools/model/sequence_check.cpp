// tools/model/sequence_check.cpp
//
// Holes in a record stream and their reorder window. Every comparison is
// modulo 2^32, so a stream that wraps past 4294967295 to 0 is in order;
// a number up to 2^31 ahead of the expectation is ahead, anything else
// behind.
//
// Threads: see sequence_check.h.
#include "model/sequence_check.h"

#include "base/plural.h"

namespace remote {
namespace {

constexpr std::uint32_t kHalfRange = 0x80000000u;

}  // namespace

std::string SequenceGap::text() const {
  return "lost " + counted(count, "record") + " (sequence " + std::to_string(first) + " to " +
         std::to_string(first + count - 1) + ")";
}

SequenceCheck::Verdict SequenceCheck::check(std::uint32_t sequence, SystemClock::time_point at) {
  if (!expected) {
    expected = sequence + 1;
    return Verdict::kNext;
  }
  const std::uint32_t ahead = sequence - *expected;
  if (ahead < kHalfRange) {
    if (ahead > 0) {
      open.push_back({*expected, sequence - 1, at});
      if (open.size() > kMaxHoles) open.front().overdue = true;  // reported by the next takeDue()
    }
    expected = sequence + 1;
    return Verdict::kNext;
  }
  if (fill(open, sequence)) return Verdict::kReordered;
  if (fill(reported, sequence)) {
    ++lateRecords;
    return Verdict::kLate;
  }
  return Verdict::kRepeat;
}

bool SequenceCheck::fill(std::deque<Hole>& holes, std::uint32_t sequence) {
  for (auto it = holes.begin(); it != holes.end(); ++it) {
    if (sequence - it->first > it->last - it->first) continue;
    if (it->first == it->last) {
      holes.erase(it);
    } else if (sequence == it->first) {
      ++it->first;
    } else if (sequence == it->last) {
      --it->last;
    } else {
      Hole before = *it;
      before.last = sequence - 1;
      it->first = sequence + 1;
      holes.insert(it, before);
    }
    return true;
  }
  return false;
}

void SequenceCheck::takeDue(SystemClock::time_point now, std::vector<SequenceGap>& lost) {
  while (!open.empty()) {
    const Hole& hole = open.front();
    const std::uint32_t past = *expected - 1 - hole.last;  // records seen since the hole
    if (!hole.overdue && past < kWindowRecords && now - hole.opened < kWindowTime) return;
    report(hole, lost);
    open.pop_front();
  }
}

void SequenceCheck::takeAll(std::vector<SequenceGap>& lost) {
  for (const Hole& hole : open) report(hole, lost);
  open.clear();
}

std::optional<SystemClock::time_point> SequenceCheck::oldestOpen() const {
  if (open.empty()) return std::nullopt;
  return open.front().opened;  // holes open in the order their records came
}

std::optional<SystemClock::time_point> SequenceCheck::nextDue() const {
  if (open.empty()) return std::nullopt;
  if (open.front().overdue) return SystemClock::time_point();  // long past
  return open.front().opened + kWindowTime;
}

void SequenceCheck::restart(std::optional<std::uint32_t> next) {
  expected = next;
  open.clear();
  reported.clear();
}

void SequenceCheck::report(const Hole& hole, std::vector<SequenceGap>& lost) {
  // Neighbouring pieces of one hole that split around reordered records
  // are reported one by one: each is a run of numbers that never came.
  const std::uint32_t count = hole.last - hole.first + 1;
  lost.push_back({hole.first, count, hole.opened});
  lostRecords += count;
  reported.push_back(hole);
  if (reported.size() > kMaxReported) reported.pop_front();
}

}  // namespace remote
