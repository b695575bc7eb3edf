// tools/model/sequence_check.h
//
// The sequence check of one target's stream of log records, shared by
// tail, forward, replay and the recorder. A target numbers every record it
// builds, for every client alike, so a jump means records are missing: lost
// on the way, built while we were not registered with a restarted target,
// or only overtaken by later ones, since UDP may reorder datagrams.
//
// A jump therefore opens a hole that is reported as lost only once it has
// waited out a small window: kWindowRecords further records or kWindowTime,
// whichever comes first, counted in receive time (a capture's times replay
// as the live client saw them). A missing record that arrives inside the window
// closes its part of the hole and counts as nothing; one that arrives after
// its hole was reported counts as late, never as a negative loss. Holes are
// kept in the order they opened, which is also the order they fall due.
//
// Threads: an object belongs to the thread that follows its target.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/clocks.h"

namespace remote {

struct SequenceGap {
  std::uint32_t first = 0;  // the first missing number
  std::uint32_t count = 0;
  // When the record after the missing ones came: the record that showed
  // them missing, before which they belong.
  SystemClock::time_point seenAt{};
  // "lost 3 records (sequence 10 to 12)"
  std::string text() const;
};

class SequenceCheck {
 public:
  // A reordered datagram is rarely more than a few behind its successors;
  // these bound how long a loss goes unreported.
  static constexpr std::uint32_t kWindowRecords = 256;
  static constexpr std::chrono::milliseconds kWindowTime{200};
  // Holes tracked at once; past this the oldest is reported at once.
  static constexpr std::size_t kMaxHoles = 64;
  // Reported holes remembered, for telling a late record from a repeat.
  static constexpr std::size_t kMaxReported = 64;

  enum class Verdict {
    kNext,       // the next number, or a jump ahead (a hole opened)
    kReordered,  // filled a hole inside the window: not lost after all
    kLate,       // filled a hole already reported as lost
    kRepeat,     // seen before, or older than anything still tracked
  };

  // Takes the number of the record that arrived at `at`.
  Verdict check(std::uint32_t sequence, SystemClock::time_point at);
  // Whether any hole is open (takeDue() would have work).
  bool holesOpen() const { return !open.empty(); }

  // Appends the holes that have waited out the window by `now`, oldest
  // first, and counts them as lost.
  void takeDue(SystemClock::time_point now, std::vector<SequenceGap>& lost);
  // Appends every open hole (the stream ended, or the instance restarted).
  void takeAll(std::vector<SequenceGap>& lost);
  // When the oldest open hole falls due; nullopt with none open.
  std::optional<SystemClock::time_point> nextDue() const;
  // When the record came that opened the oldest open hole: records from
  // then on may yet have missing ones put before them.
  std::optional<SystemClock::time_point> oldestOpen() const;

  // A new instance of the target counts from 0; nullopt takes the next
  // record's number as it comes (a first registration joins mid-stream).
  // Open holes are forgotten: takeAll() them first.
  void restart(std::optional<std::uint32_t> next);

  std::uint64_t lost() const { return lostRecords; }  // reported, late ones included
  std::uint64_t late() const { return lateRecords; }

 private:
  struct Hole {
    std::uint32_t first;
    std::uint32_t last;              // inclusive
    SystemClock::time_point opened;  // the receive time of the record after it
    bool overdue = false;            // pushed out by too many newer holes
  };
  // Takes `sequence` out of the first hole in `holes` holding it; false if
  // none does.
  static bool fill(std::deque<Hole>& holes, std::uint32_t sequence);
  void report(const Hole& hole, std::vector<SequenceGap>& lost);

  std::optional<std::uint32_t> expected;  // one past the highest number seen
  std::deque<Hole> open;
  std::deque<Hole> reported;
  std::uint64_t lostRecords = 0;
  std::uint64_t lateRecords = 0;
};

}  // namespace remote
