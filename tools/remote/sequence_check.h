// tools/remote/sequence_check.h
//
// The sequence check of one target's stream of log records, shared by
// tail, forward and replay. A target numbers every record it builds, for
// every client alike, so a jump means records were lost on the way (or
// built while we were not registered with a restarted target).
//
// Threads: an object belongs to the thread that follows its target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace remote {

struct SequenceGap {
  std::uint32_t first = 0;  // the first missing number
  std::uint32_t count = 0;
  // "lost 3 records (sequence 10 to 12)"
  std::string text() const {
    return "lost " + std::to_string(count) + " records (sequence " + std::to_string(first) +
           " to " + std::to_string(first + count - 1) + ")";
  }
};

class SequenceCheck {
 public:
  enum class Verdict { kNext, kAfterGap, kOld };

  // Takes the number of the record that just arrived. kAfterGap fills `gap`;
  // kOld is a record older than one already seen (reordered on the way),
  // which must not move the expectation back.
  Verdict check(std::uint32_t sequence, SequenceGap& gap) {
    Verdict verdict = Verdict::kNext;
    if (expected && sequence != *expected) {
      const std::uint32_t skipped = sequence - *expected;  // modulo 2^32: survives the wrap
      if (skipped >= 0x80000000u) return Verdict::kOld;
      gap = {*expected, skipped};
      verdict = Verdict::kAfterGap;
    }
    expected = sequence + 1;
    return verdict;
  }

  // A new instance of the target counts from 0; nullopt takes the next
  // record's number as it comes (a first registration joins mid-stream).
  void restart(std::optional<std::uint32_t> next) { expected = next; }

 private:
  std::optional<std::uint32_t> expected;
};

}  // namespace remote
