// tools/recorder/recorder_metrics.h
//
// What `record --metrics` shows: per target the records stored, records
// lost and gaps (counted as the entries go to the store), beside the
// recorder's totals, the store's append latency, queue and size, the
// spool's depth and losses (a relay), and the alerts firing and
// notifications, written as Prometheus text.
//
// Threads: the follower's thread (the counting and the writing of the
// text); the text goes to the MetricsServer's threads as a finished page.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "recorder/store_feed.h"

namespace remote {

class AlertFeed;

class RecorderMetrics : public StoredEntryObserver {
 public:
  void onStoredRecord(const store::StoredRecord& record, const Levels& levels) override;
  void onStoredGap(const store::StoredGap& gap) override;

  // What the recorder knows beside the entries.
  struct Totals {
    std::int64_t received = 0;
    std::uint64_t kernelDrops = 0;
    const StoreWriter* writer = nullptr;
    std::string storePath;
    const AlertFeed* alerts = nullptr;  // null without --alerts
  };
  std::string text(const Totals& totals) const;

 private:
  struct PerTarget {
    std::string application;
    std::uint64_t stored = 0, lost = 0, gaps = 0;
  };
  std::map<std::string, PerTarget, std::less<>> targets;
  PerTarget* last = nullptr;  // records come in runs of one target
  std::string lastTarget;
};

}  // namespace remote
