// tools/follow/loss_report.h
//
// What a follower lost, said while it happens and summed up at the end:
// records missing from a target's sequence numbers (gaps, once they have
// outlived the reorder window), records that came after their gap was
// said (late: not lost after all, so not counted as lost), and datagrams
// the kernel dropped because our receive buffer was full. The second
// explains the first when the client falls behind; a gap without drops
// happened on the way or at the target. The records a restarted target
// logged before we registered with its new instance never came our way:
// they are named as such, apart from the gaps, and still count as missed.
//
// A busy target that loses records loses them in many small gaps, so
// stderr gets at most one line a second for each target with gaps and
// one for the kernel's drops; the first loss after a quiet second shows
// at once. Nothing is left out: a line sums every gap since the last one.
//
// Threads: single-threaded; the Follower's loop calls everything here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/clocks.h"
#include "model/sequence_check.h"

namespace remote {

class LossReport {
 public:
  void countRecord() { ++records; }
  void onGap(const std::string& target, const SequenceGap& gap, Clock::time_point now);
  // The hole from 0 of a restarted target's new instance; said at once.
  void onRestartGap(const std::string& target, const SequenceGap& gap);
  // A record that came after its gap was said: not lost after all.
  void onLate(Clock::time_point now);
  // `total`: the socket's drop count so far.
  void onKernelDrops(std::uint64_t total, Clock::time_point now);

  Clock::time_point nextDeadline(Clock::time_point next) const;
  void onTimers(Clock::time_point now);

  // Says what is still pending, then one line: records received, lost in
  // gaps, dropped by the kernel, and the receive buffer they had.
  void finish(std::size_t receiveBuffer);

  bool anyLost() const { return lostRecords > lateRecords || drops > 0 || beforeRestart > 0; }
  std::uint64_t received() const { return records; }
  std::uint64_t lost() const { return lostRecords - lateRecords; }  // late ones came after all
  std::uint64_t kernelDrops() const { return drops; }

 private:
  // Gaps of one target since its last line.
  struct Pending {
    std::string target;
    SequenceGap first;
    std::uint32_t last = 0;  // the last missing number
    std::uint64_t records = 0;
    std::uint64_t gaps = 0;
  };
  bool quiet(Clock::time_point now) const { return now >= quietUntil; }
  void say(Clock::time_point now);

  std::uint64_t records = 0;
  std::uint64_t lostRecords = 0;  // in gaps as said, late ones included
  std::uint64_t lateRecords = 0;
  std::uint64_t lateSaid = 0;
  std::uint64_t beforeRestart = 0;  // logged by new instances before we registered
  std::uint64_t drops = 0;
  std::uint64_t dropsSaid = 0;
  std::vector<Pending> pending;
  Clock::time_point quietUntil;  // no line before this; pending ones are said then
};

// "8 MiB", "208 KiB", "900 bytes".
std::string sizeText(std::size_t bytes);

}  // namespace remote
