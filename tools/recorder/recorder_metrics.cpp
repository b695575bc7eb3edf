// tools/recorder/recorder_metrics.cpp
//
// The recorder's metrics; see recorder_metrics.h.
//
// Threads: the follower's thread.
#include "recorder/recorder_metrics.h"

#include <sys/stat.h>

#include "alerts/metrics_text.h"
#include "recorder/alert_feed.h"

namespace remote {
namespace {

using Type = alerts::MetricsText::Type;

double fileBytes(const std::string& path) {
  double total = 0;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat info {};
    if (::stat((path + suffix).c_str(), &info) == 0) total += static_cast<double>(info.st_size);
  }
  return total;
}

// What waits in the spool for a store server, and what it lost.
void spoolMetrics(alerts::MetricsText& m, const StoreWriter& writer) {
  const SpoolDepth depth = writer.spoolDepth();
  const auto gauge = [&](const char* name, const char* help, std::int64_t value) {
    m.family(name, help, Type::kGauge);
    m.sample(name, {}, static_cast<double>(value));
  };
  gauge("tarvin_spool_batches", "Batches waiting in the spool for the store", depth.batches);
  gauge("tarvin_spool_records", "Records waiting in the spool for the store", depth.records);
  gauge("tarvin_spool_bytes", "Size of the spool's batch files", depth.bytes);
  const auto counter = [&](const char* name, const char* help, std::int64_t value) {
    m.family(name, help, Type::kCounter);
    m.sample(name, {}, static_cast<double>(value));
  };
  counter("tarvin_spool_lost_records_total",
          "Records lost because the spool was full or its disk refused them",
          writer.spoolLostRecords());
  counter("tarvin_spool_lost_gaps_total",
          "Gaps lost because the spool was full or its disk refused them", writer.spoolLostGaps());
  counter("tarvin_spool_damaged_records_total",
          "Records in spooled batches found damaged and set aside", writer.damagedRecords());
}

}  // namespace

void RecorderMetrics::onStoredRecord(const store::StoredRecord& record, const Levels&) {
  if (last == nullptr || lastTarget != record.arrived.source) {
    lastTarget = record.arrived.source;
    last = &targets[lastTarget];
    last->application = record.applicationName;
  }
  ++last->stored;
}

void RecorderMetrics::onStoredGap(const store::StoredGap& gap) {
  PerTarget& target = targets[gap.target];
  target.application = gap.applicationName;
  target.lost += gap.gap.count;
  ++target.gaps;
}

std::string RecorderMetrics::text(const Totals& totals) const {
  alerts::MetricsText m;
  m.family("tarvin_records_received_total", "Log records received from every target",
           Type::kCounter);
  m.sample("tarvin_records_received_total", {}, static_cast<double>(totals.received));
  m.family("tarvin_kernel_drops_total",
           "Datagrams the kernel dropped because the receive buffer was full", Type::kCounter);
  m.sample("tarvin_kernel_drops_total", {}, static_cast<double>(totals.kernelDrops));
  const auto perTarget = [&](const char* name, const char* help, auto field) {
    m.family(name, help, Type::kCounter);
    for (const auto& [target, counts] : targets)
      m.sample(name, {{"target", target}, {"application", counts.application}},
               static_cast<double>(counts.*field));
  };
  perTarget("tarvin_records_stored_total", "Log records written to the store, per target",
            &PerTarget::stored);
  perTarget("tarvin_records_lost_total", "Log records a target numbered that never arrived",
            &PerTarget::lost);
  perTarget("tarvin_gaps_total", "Sequence gaps, per target", &PerTarget::gaps);
  if (totals.writer != nullptr) {
    m.family("tarvin_store_append_seconds", "Time one batch took to append to the store",
             Type::kHistogram);
    m.histogram("tarvin_store_append_seconds", {}, totals.writer->appendSeconds());
    m.family("tarvin_store_queued_batches", "Batches waiting for the store's writer", Type::kGauge);
    m.sample("tarvin_store_queued_batches", {},
             static_cast<double>(totals.writer->queuedBatches()));
    if (totals.writer->spooling()) spoolMetrics(m, *totals.writer);
  }
  m.family("tarvin_store_bytes", "Size of the store's files", Type::kGauge);
  m.sample("tarvin_store_bytes", {}, fileBytes(totals.storePath));
  if (totals.alerts != nullptr) {
    m.family("tarvin_alerts_firing", "Alerts firing now", Type::kGauge);
    m.sample("tarvin_alerts_firing", {}, static_cast<double>(totals.alerts->firing().size()));
    const alerts::NotifierStats stats = totals.alerts->notifications();
    m.family("tarvin_notifications_sent_total", "Notifications a destination took", Type::kCounter);
    m.sample("tarvin_notifications_sent_total", {}, static_cast<double>(stats.sent));
    m.family("tarvin_notifications_dropped_total",
             "Notifications not queued or given up after the last attempt", Type::kCounter);
    m.sample("tarvin_notifications_dropped_total", {}, static_cast<double>(stats.dropped));
  }
  return m.text();
}

}  // namespace remote
