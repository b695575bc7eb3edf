// tests/tools/sequence_check_test.cpp
//
// The gap tracker of a record stream: which arrival orders are losses,
// which are reordering inside the window, and which are late arrivals of
// records already reported lost.
//
// Threads: gtest's thread only.
#include "model/sequence_check.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using remote::SequenceCheck;
using remote::SystemClock;
using Verdict = SequenceCheck::Verdict;
using namespace std::chrono_literals;

// Records first..last (modulo 2^32) arriving at one time.
struct Arrival {
  std::uint32_t first;
  std::uint32_t last;
  int atMs = 0;
};

TEST(SequenceCheck, ReorderWindowTellsLossFromReorderingAndLateness) {
  constexpr std::uint32_t kTop = 0xFFFFFFFF;
  // Short names keep a row of the table on one line.
  constexpr Verdict kNext = Verdict::kNext, kReordered = Verdict::kReordered,
                    kRepeat = Verdict::kRepeat, kLate = Verdict::kLate;
  static const struct {
    const char* name;
    std::vector<Arrival> arrivals;
    bool endOfStream;                                           // takeAll() after the last arrival
    std::vector<std::pair<std::uint32_t, std::uint32_t>> lost;  // (first, count) in order
    Verdict lastVerdict;
    std::uint64_t late;
  } kCases[] = {
      {"in order", {{1, 3}}, false, {}, kNext, 0},
      {"swapped pair inside the window", {{1, 1}, {3, 3}, {2, 2}, {4, 4}}, false, {}, kNext, 0},
      {"hole outlives the time window", {{1, 1}, {3, 3}, {4, 4, 250}}, false, {{2, 1}}, kNext, 0},
      {"hole outlives the record window", {{1, 1}, {3, 258}}, false, {{2, 1}}, kNext, 0},
      {"one short of the record window", {{1, 1}, {3, 257}}, false, {}, kNext, 0},
      {"record after its loss was reported is late",
       {{1, 1}, {3, 3}, {4, 4, 250}, {2, 2, 260}},
       false,
       {{2, 1}},
       kLate,
       1},
      {"late records never make a negative loss",
       {{10, 10}, {13, 13}, {14, 14, 300}, {12, 12, 301}, {11, 11, 302}},
       false,
       {{11, 2}},
       kLate,
       2},
      {"a record inside a hole splits it",
       {{1, 1}, {5, 5}, {3, 3}, {6, 6, 300}},
       false,
       {{2, 1}, {4, 1}},
       kNext,
       0},
      {"repeat of a seen record", {{1, 2}, {2, 2}}, false, {}, kRepeat, 0},
      {"a late record counts once",
       {{1, 1}, {3, 3}, {4, 4, 250}, {2, 2, 260}, {2, 2, 261}},
       false,
       {{2, 1}},
       kRepeat,
       1},
      {"wrap past 2^32 - 1 is in order", {{kTop - 1, kTop}, {0, 1}}, false, {}, kNext, 0},
      {"hole across the wrap", {{kTop, kTop}, {1, 1}, {2, 2, 300}}, false, {{0, 1}}, kNext, 0},
      {"reordered across the wrap",
       {{kTop - 1, kTop - 1}, {0, 0}, {kTop, kTop}},
       false,
       {},
       kReordered,
       0},
      {"end of stream reports open holes", {{1, 1}, {4, 4}}, true, {{2, 2}}, kNext, 0},
      {"far behind the first record is a repeat", {{100, 100}, {50, 50}}, false, {}, kRepeat, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    SequenceCheck check;
    std::vector<remote::SequenceGap> lost;
    Verdict verdict = Verdict::kNext;
    const SystemClock::time_point start{};
    for (const Arrival& run : c.arrivals) {
      const auto at = start + std::chrono::milliseconds(run.atMs);
      for (std::uint32_t s = run.first;; ++s) {
        verdict = check.check(s, at);
        check.takeDue(at, lost);
        if (s == run.last) break;
      }
    }
    if (c.endOfStream) check.takeAll(lost);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
    std::uint64_t lostCount = 0;
    for (const auto& gap : lost) {
      got.emplace_back(gap.first, gap.count);
      lostCount += gap.count;
    }
    EXPECT_EQ(got, c.lost);
    EXPECT_EQ(verdict, c.lastVerdict);
    EXPECT_EQ(check.late(), c.late);
    EXPECT_EQ(check.lost(), lostCount);
  }
}

// More holes than are tracked: the oldest is reported at once, so memory
// stays bounded under heavy loss.
TEST(SequenceCheck, TooManyHolesReportTheOldestAtOnce) {
  SequenceCheck check;
  std::vector<remote::SequenceGap> lost;
  const SystemClock::time_point at{};
  for (std::uint32_t s = 0; s <= 2 * (SequenceCheck::kMaxHoles + 1); s += 2) {
    check.check(s, at);
    check.takeDue(at, lost);
  }
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].first, 1u);
  ASSERT_TRUE(check.nextDue().has_value());
  EXPECT_EQ(*check.nextDue(), at + SequenceCheck::kWindowTime);
}

}  // namespace
