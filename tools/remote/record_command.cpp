// tools/remote/record_command.cpp
//
// `tarvin-remote record --db FILE TARGET... | --discover HOST...`: follow
// targets as tail does (follow.h) and write every log record and every
// sequence gap into a record store (store_feed.h, store_writer.h), with
// level names from the components' level descriptions, until
// Ctrl-C, SIGTERM or --duration. `record --db FILE --import CAPTURE` stores
// a capture of tail --pcap (or record --pcap) the same way, gaps included,
// leaving out what the store already holds (an import run twice, or the
// capture of a recording into that recording's store).
//
// With a store server (--db clickhouse://...), a relay: batches the server
// does not take wait in a spool on local disk (--spool, --spool-max) and
// go in order when it answers; the spool a relay left is sent first.
//
// While stderr is a terminal, one progress line a second, written over in
// place (with a spool, its depth and the last insert's latency); at the
// end a summary. Exit 1 when records were lost on the way (gaps), the
// spool could not keep them, a named target was never registered with, or
// the store refused a batch, which ends the recording at once.
//
// Threads: the Follower's poll() loop calls in here; the store is written
// on the StoreWriter's thread.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "base/note.h"
#include "base/plural.h"
#include "base/state_file.h"
#include "base/stop_signal.h"
#include "capture/captured_log.h"
#include "capture/pcap_file.h"
#include "follow/follow.h"
#include "model/time_options.h"
#include "recorder/alert_feed.h"
#include "recorder/metrics_server.h"
#include "recorder/recorder_metrics.h"
#include "recorder/spool.h"
#include "recorder/store_feed.h"
#include "recorder/store_writer.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/policy_enforcer.h"
#include "remote/store_failure.h"
#include "store/store.h"

namespace remote {
namespace {

constexpr std::chrono::seconds kProgressEvery{1};

struct RecordOptions {
  std::string db;
  std::string spool;  // --spool DIR; empty: the default for the store, when it is a server
  std::uint64_t spoolMax = std::uint64_t{1} << 30;
  FollowOptions follow;
  std::string importPath;  // empty: follow targets
  store::Retention retention;
  AlertFlags alerts;
  std::string metrics;  // --metrics ADDR:PORT
};

// Entries of a capture the store held already (known_records.h).
struct Skipped {
  std::int64_t records = 0;
  std::int64_t gaps = 0;
};

// The summary line. `notStored`: records received but not written, as
// the store refused their batch. `drops`: datagrams our kernel dropped,
// records among them; a drop that no later record showed as a gap (the
// recording ended first) is a loss all the same. With a spool, what it
// could not keep and what it found damaged are lost too; what it still
// holds is not: the next start sends it. Returns the exit code it stands
// for.
int finish(const StoreWriter& writer, const std::string& db, std::int64_t lost, std::int64_t gaps,
           std::int64_t notStored = 0, std::uint64_t drops = 0, const Skipped& skipped = {}) {
  std::string summary = "stored " + counted(writer.storedRecords(), "record") + " in " + db;
  if (writer.deletedRecords() > 0)
    summary += " (retention deleted " + std::to_string(writer.deletedRecords()) + ")";
  if (skipped.records > 0 || skipped.gaps > 0) {
    summary += "; skipped " + counted(skipped.records, "record");
    if (skipped.gaps > 0) summary += " and " + counted(skipped.gaps, "gap");
    summary += " already stored";
  }
  if (lost > 0) summary += "; lost " + counted(lost, "record") + " in " + counted(gaps, "gap");
  if (notStored > 0) summary += "; " + counted(notStored, "record") + " not stored";
  if (drops > 0) summary += "; the kernel dropped " + counted(drops, "datagram");
  const std::int64_t spoolLost = writer.spoolLostRecords(), spoolLostGaps = writer.spoolLostGaps();
  if (spoolLost > 0 || spoolLostGaps > 0) {
    summary += "; lost " + counted(spoolLost, "record");
    if (spoolLostGaps > 0) summary += " and " + counted(spoolLostGaps, "gap");
    summary += " the spool could not keep";
  }
  if (writer.damagedBatches() > 0) {
    summary += "; " + counted(writer.damagedBatches(), "damaged spool file") + " set aside (" +
               counted(writer.damagedRecords(), "record") + " lost)";
  }
  const SpoolDepth waiting = writer.spoolDepth();
  if (waiting.batches > 0) {
    summary += "; " + counted(waiting.records, "record") + " wait in the spool " +
               writer.spoolDir() + " for the next start";
  }
  const bool anyLost = lost > 0 || notStored > 0 || drops > 0 || spoolLost > 0 ||
                       spoolLostGaps > 0 || writer.damagedBatches() > 0;
  if (!anyLost) summary += "; nothing lost";
  note(summary);
  return anyLost ? kExitNoAnswer : 0;
}

// "0.4 ms", "12 ms": a fast insert still shows.
std::string milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 0.01 ? "%.1f ms" : "%.0f ms", seconds * 1000);
  return text;
}

// The spool of a store server, or none for a store that is always there
// (a SQLite file).
std::unique_ptr<Spool> openSpool(const RecordOptions& options, store::Store& store) {
  if (!store.writePolicy().mayBeUnavailable) {
    if (!options.spool.empty())
      throw ToolError{ErrorKind::kBadInput,
                      "record: --spool is for a store server that may be away "
                      "(clickhouse://...), not " +
                          options.db};
    return nullptr;
  }
  const std::string dir = options.spool.empty() ? defaultSpoolDir(options.db) : options.spool;
  return std::make_unique<Spool>(SpoolOptions{dir, options.spoolMax, options.db});
}

class Recorder : public FollowHandler {
 public:
  Recorder(const CommonOptions& common, const RecordOptions& options, store::Store& store)
      : options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/true),
        feed(follower.session(), common.retry, store, options.retention, openSpool(options, store)),
        progress(::isatty(STDERR_FILENO) == 1),
        nextProgress(Clock::now() + kProgressEvery) {
    if (options.alerts.any()) {
      alerts.emplace(options.alerts);
      feed.observeWith(&*alerts);
    }
    if (!options.metrics.empty()) {
      metricsServer.emplace(options.metrics);
      feed.observeWith(&metrics);
      publishMetrics();
    }
  }

  int run() {
    follower.run();
    feed.finish();
    int code = finish(feed.written(), options.db, feed.lost(), feed.gaps(), feed.notStored(),
                      follower.losses().kernelDrops());
    if (alerts) {
      alerts->finish();
      note(alerts->summary());
      if (alerts->dropped() > 0) code = kExitNoAnswer;
    }
    if (feed.fault()) throw toolError(*feed.fault());
    return follower.allNamedReached() ? code : kExitNoAnswer;
  }

 private:
  void onRecord(FollowedTarget& target, codec::LogRecord&& record,
                SystemClock::time_point at) override {
    ++received;
    feed.onRecord(target, std::move(record), at);
  }

  void onLost(FollowedTarget& target, const SequenceGap& gap) override { feed.onLost(target, gap); }

  void onOtherDatagram(FollowedTarget& /*target*/, Received&& r) override {
    feed.onDatagram(r.datagram);
  }

  void onConfirmed(FollowedTarget& target) override {
    if (alerts) alerts->onConfirmed(target);
  }

  void onTargetDropped(FollowedTarget& target) override {
    if (alerts) alerts->onTargetDropped(target);
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    next = feed.nextDeadline(next);
    if (alerts) next = alerts->nextDeadline(next);
    if (metricsServer) next = std::min(next, nextMetrics);
    return progress ? std::min(next, nextProgress) : next;
  }

  void onTimers(Clock::time_point now) override {
    feed.onTimers(now);
    if (alerts) {
      alerts->onKernelDrops(follower.losses().kernelDrops());
      alerts->onTimers(now);
    }
    if (metricsServer && now >= nextMetrics) {
      nextMetrics = now + kProgressEvery;
      publishMetrics();
    }
    if (progress && now >= nextProgress) report(now);
  }

  void publishMetrics() {
    metricsServer->publish(metrics.text({received, follower.losses().kernelDrops(), &feed.written(),
                                         options.db, alerts ? &*alerts : nullptr}));
  }

  bool done() const override { return feed.failed(); }

  void report(Clock::time_point now) {
    const double seconds =
        std::chrono::duration<double>(now - lastProgress.value_or(now - kProgressEvery)).count();
    const auto rate =
        static_cast<long long>((received - receivedBefore) / std::max(seconds, 0.001) + 0.5);
    const StoreWriter& writer = feed.written();
    std::string line = std::to_string(rate) + " records/s, " +
                       std::to_string(writer.storedRecords()) + " stored, " +
                       std::to_string(feed.lost()) + " lost";
    if (writer.spooling()) {
      const SpoolDepth depth = writer.spoolDepth();
      line += "; spool " + counted(depth.batches, "batch", "batches") + ", " +
              counted(depth.records, "record") + ", " + std::to_string(depth.bytes >> 20) + " MiB";
      if (writer.spoolLostRecords() > 0)
        line += " (" + std::to_string(writer.spoolLostRecords()) + " lost: full)";
    }
    line += "; insert " + milliseconds(writer.lastAppendSeconds());
    status(line);
    receivedBefore = received;
    lastProgress = now;
    nextProgress = now + kProgressEvery;
  }

  const RecordOptions& options;
  Follower follower;
  StoreFeed feed;
  std::optional<AlertFeed> alerts;  // with --alerts
  RecorderMetrics metrics;
  std::optional<MetricsServer> metricsServer;  // with --metrics
  Clock::time_point nextMetrics = Clock::now();
  std::int64_t received = 0;
  // Progress on a terminal.
  const bool progress;
  Clock::time_point nextProgress;
  std::optional<Clock::time_point> lastProgress;
  std::int64_t receivedBefore = 0;
};

int runImport(const RecordOptions& options, store::Store& store) {
  const CapturedLog log = readCapturedLog(readPcap(options.importPath));
  std::vector<store::Entry> entries;
  entries.reserve(log.entries.size());
  std::int64_t lost = 0, gaps = 0;
  for (const auto& entry : log.entries) {
    if (const auto* g = std::get_if<CapturedGap>(&entry)) {
      entries.push_back(store::StoredGap{ArrivedGap(*g), 0, g->applicationName});
      lost += g->gap.count;
      ++gaps;
      continue;
    }
    const CapturedRecord& r = std::get<CapturedRecord>(entry);
    std::string levelName =
        recordLevelName(r.arrived.record.clientMask, log.levelsOf(r.arrived.record));
    entries.push_back(store::StoredRecord{0, r.arrived, r.applicationName, std::move(levelName)});
  }
  // Read before the writer takes the store to its thread.
  store::KnownRecords known = store.known(entries);
  StoreWriter writer(store, options.retention, openSpool(options, store));
  Skipped skipped;
  try {
    for (store::Entry& entry : entries) {
      if (known.add(entry)) {
        ++(std::holds_alternative<store::StoredRecord>(entry) ? skipped.records : skipped.gaps);
        continue;
      }
      writer.add(std::move(entry));
    }
    writer.commit();
  } catch (const store::StoreError& error) {
    finish(writer, options.db, lost, gaps, writer.unstoredRecords(), 0, skipped);
    throw toolError(error);
  }
  if (log.skipped > 0)
    note("skipped " + std::to_string(log.skipped) + " packets that hold no target datagram");
  // The capture's gaps are losses even when an earlier import stored them.
  return finish(writer, options.db, lost, gaps, 0, 0, skipped);
}

// The options as typed.
struct RecordFlags {
  CommonFlags common;
  FollowFlags follow;
  RecordOptions record;  // db, import
  std::int64_t maxRecords = 0;
  std::string maxAge;
  std::string policy;  // --policy FILE, applied beside the recording
  std::string spoolMax;
};

int runRecord(const RecordFlags& flags) {
  RecordOptions options = flags.record;
  options.db = storePath(options.db);
  const CommonOptions common = flags.common.read();
  if (options.importPath.empty()) {
    options.follow = flags.follow.read("record");
    options.follow.gather = StoreFeed::kGather;
  } else if (!flags.follow.follow.targets.empty() || flags.follow.follow.discovering()) {
    throw ToolError{ErrorKind::kBadInput, "record: --import takes no targets"};
  } else if (!flags.policy.empty()) {
    throw ToolError{ErrorKind::kBadInput,
                    "record: --policy applies to targets followed, not --import"};
  } else if (options.alerts.any() || !options.metrics.empty()) {
    throw ToolError{ErrorKind::kBadInput,
                    "record: --alerts and --metrics follow records as they arrive, not --import"};
  }
  options.retention.maxRecords = flags.maxRecords;
  if (!flags.maxAge.empty()) options.retention.maxAge = parseAge(flags.maxAge, "--max-age");
  if (!flags.spoolMax.empty()) options.spoolMax = parseSize(flags.spoolMax, "--spool-max");
  try {
    const std::unique_ptr<store::Store> opened =
        store::openStore(options.db, store::Access::kRecord);
    store::Store& store = *opened;
    if (!options.importPath.empty()) return runImport(options, store);
    installStopHandlers();
    std::optional<PolicyThread> policy;
    if (!flags.policy.empty())
      policy.emplace(common.retry,
                     policyBeside(flags.policy, options.follow, options.db, "record"));
    Recorder recorder(common, options, store);
    return recorder.run();
  } catch (const store::StoreError& error) {
    throw toolError(error);
  }
}

}  // namespace

const Command kRecordCommand = {
    "record", "Follow targets and store their log records and gaps in a database",
    [](CLI::App& app) -> Run {
      auto flags = std::make_shared<RecordFlags>();
      app.footer(
          "Records and gaps are written about every 100 ms, one transaction a batch; a\n"
          "killed recorder loses at most the last batch. One recorder per store: a\n"
          "second one is refused. A store server takes a batch every second (or 10,000\n"
          "records); while it is away, batches wait in the spool and go in order when\n"
          "it answers, and a spool left by a stopped relay is sent first. Exit 1 when\n"
          "records were lost on the way or to a full spool, or a named target was never\n"
          "registered with.");
      app.add_option("--db", flags->record.db,
                     "Record store, created when missing: a SQLite file or "
                     "clickhouse://[USER@]HOST[:PORT]/DATABASE[?table=NAME] (default: " +
                         std::string(kDefaultStoreHelp) + ")");
      app.add_option_function<std::string>(
          "--db-password-file", store::setPasswordFile,
          "File whose first line is the password of a clickhouse:// store (else "
          "$TARVIN_DB_PASSWORD)");
      addFollowOptions(app, flags->follow);
      app.add_option("--import", flags->record.importPath,
                     "Store the records of a capture (tail --pcap) instead of following "
                     "targets; records already stored are skipped");
      app.add_option("--max-records", flags->maxRecords,
                     "Keep at most this many records, deleting the oldest")
          ->check(CLI::NonNegativeNumber);
      app.add_option("--max-age", flags->maxAge,
                     "Delete records older than this (e.g. 7d, 12h, 30m)");
      app.add_option("--spool", flags->record.spool,
                     "With a store server: keep batches here while it is away, sent in order "
                     "when it answers (default: $XDG_STATE_HOME/tarvin-remote/spool/<store>)")
          ->type_name("DIR");
      app.add_option("--spool-max", flags->spoolMax,
                     "Bound the spool; batches past it are lost and counted (default: 1G)")
          ->type_name("SIZE");
      addAlertOptions(app, flags->record.alerts);
      app.add_option("--policy", flags->policy,
                     "Apply this level policy (TOML) to the targets followed and keep it "
                     "applied, as enforce does")
          ->type_name("FILE");
      app.add_option("--metrics", flags->record.metrics,
                     "Serve Prometheus metrics at http://ADDR:PORT/metrics (records per target, "
                     "losses, store latency and size, alerts)")
          ->type_name("ADDR:PORT");
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags] { return runRecord(*flags); };
    }};

}  // namespace remote
