// tools/remote/record_command.cpp
//
// `tarvin-remote record --db FILE TARGET... | --discover HOST...`: follow
// targets as tail does (follow.h) and write every log record and every
// sequence gap into a record store (store_writer.h), with level names
// from the components' level descriptions (component_levels.h), until
// Ctrl-C, SIGTERM or --duration. `record --db FILE --import CAPTURE` stores
// a capture of tail --pcap (or record --pcap) the same way, gaps included.
//
// While stderr is a terminal, one progress line a second; at the end a
// summary. Exit 1 when records were lost on the way (gaps) or the store
// refused a batch, which ends the recording at once.
//
// Threads: single-threaded tool; the Follower's poll() loop calls in here.
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>

#include "remote/captured_log.h"
#include "remote/command.h"
#include "remote/command_options.h"
#include "remote/component_levels.h"
#include "remote/follow.h"
#include "remote/note.h"
#include "remote/pcap_file.h"
#include "remote/store_failure.h"
#include "remote/store_writer.h"
#include "remote/time_options.h"

namespace remote {
namespace {

constexpr std::chrono::seconds kProgressEvery{1};

struct RecordOptions {
  std::string db;
  FollowOptions follow;
  std::string importPath;  // empty: follow targets
  store::Retention retention;
};

std::string count(std::int64_t n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// The summary line. `notStored`: records received but not written, as
// the store refused their batch. Returns the exit code it stands for.
int finish(const StoreWriter& writer, const std::string& db, std::int64_t lost, std::int64_t gaps,
           std::int64_t notStored = 0) {
  std::string summary = "stored " + count(writer.storedRecords(), "record") + " in " + db;
  if (writer.deletedRecords() > 0)
    summary += " (retention deleted " + std::to_string(writer.deletedRecords()) + ")";
  if (lost > 0) summary += "; lost " + count(lost, "record") + " in " + count(gaps, "gap");
  if (notStored > 0) summary += "; " + count(notStored, "record") + " not stored";
  if (lost == 0 && notStored == 0) summary += "; nothing lost";
  note(summary);
  return lost + notStored > 0 ? kExitNoAnswer : 0;
}

class Recorder : public FollowHandler {
 public:
  Recorder(const CommonOptions& common, const RecordOptions& options, store::RecordStore& store)
      : options(options),
        follower(common.retry, options.follow, *this, /*firstConfirmRequired=*/false),
        levels(follower.session(), common.retry),
        writer(store, options.retention),
        progress(::isatty(STDERR_FILENO) == 1),
        nextProgress(Clock::now() + kProgressEvery) {}

  int run() {
    follower.run();
    if (!failure) moveReady(/*final=*/true);
    // Even after a fault: the batches still queued are counted as unstored.
    try {
      writer.commit();
    } catch (const store::StoreError& error) {
      failure = error;
    }
    const std::int64_t notStored =
        writer.unstoredRecords() +
        static_cast<std::int64_t>(std::count_if(waiting.begin(), waiting.end(), [](const auto& e) {
          return std::holds_alternative<store::StoredRecord>(e);
        }));
    const int code = finish(writer, options.db, lost, gapCount, notStored);
    if (failure) throw toolError(*failure);
    return code;
  }

 private:
  void onRecord(FollowedTarget& target, codec::LogRecord&& record,
                SystemClock::time_point at) override {
    levels.lookup(target.endpoint, record.uuid, record.strings[0]);
    waiting.push_back(
        store::StoredRecord{0, {std::move(record), at, target.label}, target.applicationName, {}});
    holdFrom[target.label] = target.sequence.oldestOpen();
    ++received;
    if (waiting.size() >= StoreWriter::kMaxBatch) moveReady(/*final=*/false);
  }

  // A gap is said once its reorder window is over, and stored in place:
  // right before the record after the missing ones, which is still waiting
  // (records wait while their target has a hole open), with that record's
  // receive time, as an import of the capture stores it.
  void onLost(FollowedTarget& target, const SequenceGap& gap) override {
    store::StoredGap stored;
    stored.target = target.label;
    stored.uuid = target.uuid.value_or(codec::Uuid{});
    stored.applicationName = target.applicationName;
    stored.gap = gap;
    stored.seenAt = gap.seenAt;
    const std::uint32_t after = gap.first + gap.count;
    const auto revealing = std::find_if(waiting.begin(), waiting.end(), [&](const store::Entry& e) {
      const auto* r = std::get_if<store::StoredRecord>(&e);
      return r != nullptr && r->arrived.source == target.label &&
             r->arrived.record.sequence == after && r->arrived.receivedAt == gap.seenAt;
    });
    waiting.insert(revealing, std::move(stored));
    holdFrom[target.label] = target.sequence.oldestOpen();
    lost += gap.count;
    ++gapCount;
  }

  void onOtherDatagram(FollowedTarget& /*target*/, Received&& r) override {
    levels.onDatagram(r.datagram);
  }

  Clock::time_point nextDeadline(Clock::time_point next) override {
    next = writer.nextDeadline(levels.nextDeadline(next));
    return progress ? std::min(next, nextProgress) : next;
  }

  void onTimers(Clock::time_point now) override {
    levels.onTimers(now);
    moveReady(/*final=*/false);
    write([&] { writer.onTimers(now); });
    if (progress && now >= nextProgress) report(now);
  }

  bool done() const override { return failure.has_value(); }

  // Hands the queued entries to the writer in order, up to the first record
  // whose level names are still being asked for, or that a gap may yet be
  // put before (its target has a hole open since); at the end, all of them.
  void moveReady(bool final) {
    while (!waiting.empty() && !failure) {
      if (auto* stored = std::get_if<store::StoredRecord>(&waiting.front())) {
        const codec::LogRecord& record = stored->arrived.record;
        const Levels* known = levels.levelsFor(record.uuid, record.strings[0]);
        if (known == nullptr && !final) return;
        const auto hold = holdFrom.find(stored->arrived.source);
        if (!final && hold != holdFrom.end() && hold->second &&
            *hold->second <= stored->arrived.receivedAt) {
          return;
        }
        stored->levelName =
            recordLevelName(record.clientMask,
                            known ? *known : levels.levelsOrNone(record.uuid, record.strings[0]));
      }
      store::Entry entry = std::move(waiting.front());
      waiting.pop_front();
      write([&] { writer.add(std::move(entry)); });
    }
  }

  // Runs a step that writes; a store fault ends the recording (done()), so
  // the Follower still unregisters on its way out.
  template <typename Step>
  void write(Step step) {
    if (failure) return;
    try {
      step();
    } catch (const store::StoreError& error) {
      failure = error;
    }
  }

  void report(Clock::time_point now) {
    const double seconds =
        std::chrono::duration<double>(now - lastProgress.value_or(now - kProgressEvery)).count();
    const auto rate =
        static_cast<long long>((received - receivedBefore) / std::max(seconds, 0.001) + 0.5);
    note(std::to_string(rate) + " records/s, " + std::to_string(writer.storedRecords()) +
         " stored, " + std::to_string(lost) + " lost");
    receivedBefore = received;
    lastProgress = now;
    nextProgress = now + kProgressEvery;
  }

  const RecordOptions& options;
  Follower follower;
  ComponentLevels levels;
  StoreWriter writer;
  std::deque<store::Entry> waiting;  // for level names, in order of arrival
  // By target: when the record came that opened its oldest open hole.
  std::map<std::string, std::optional<SystemClock::time_point>> holdFrom;
  std::optional<store::StoreError> failure;
  std::int64_t received = 0, lost = 0, gapCount = 0;
  // Progress on a terminal.
  const bool progress;
  Clock::time_point nextProgress;
  std::optional<Clock::time_point> lastProgress;
  std::int64_t receivedBefore = 0;
};

int runImport(const RecordOptions& options, store::RecordStore& store) {
  const CapturedLog log = readCapturedLog(readPcap(options.importPath));
  StoreWriter writer(store, options.retention);
  std::int64_t lost = 0, gaps = 0;
  try {
    for (const auto& entry : log.entries) {
      if (const auto* g = std::get_if<CapturedGap>(&entry)) {
        writer.add(store::StoredGap{0, g->source, g->uuid, g->applicationName, g->gap, g->at});
        lost += g->gap.count;
        ++gaps;
        continue;
      }
      const CapturedRecord& r = std::get<CapturedRecord>(entry);
      std::string levelName =
          recordLevelName(r.arrived.record.clientMask, log.levelsOf(r.arrived.record));
      writer.add(store::StoredRecord{0, r.arrived, r.applicationName, std::move(levelName)});
    }
    writer.commit();
  } catch (const store::StoreError& error) {
    finish(writer, options.db, lost, gaps, writer.unstoredRecords());
    throw toolError(error);
  }
  if (log.skipped > 0)
    note("skipped " + std::to_string(log.skipped) + " packets that hold no target datagram");
  return finish(writer, options.db, lost, gaps);
}

// The options as typed.
struct RecordFlags {
  CommonFlags common;
  FollowFlags follow;
  RecordOptions record;  // db, import
  std::int64_t maxRecords = 0;
  std::string maxAge;
};

int runRecord(const RecordFlags& flags) {
  RecordOptions options = flags.record;
  const CommonOptions common = flags.common.read();
  if (options.importPath.empty()) {
    options.follow = flags.follow.read("record");
  } else if (!flags.follow.follow.targets.empty() || flags.follow.follow.discovering()) {
    throw ToolError{kExitUsage, "record: --import takes no targets"};
  }
  options.retention.maxRecords = flags.maxRecords;
  if (!flags.maxAge.empty()) options.retention.maxAge = parseAge(flags.maxAge, "--max-age");
  try {
    store::RecordStore store(options.db, store::RecordStore::Access::kRecord);
    if (!options.importPath.empty()) return runImport(options, store);
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
          "second one is refused. Exit 1 when records were lost on the way.");
      app.add_option("--db", flags->record.db, "Record store (SQLite file), created when missing")
          ->required();
      addFollowOptions(app, flags->follow);
      app.add_option("--import", flags->record.importPath,
                     "Store the records of a capture (tail --pcap) instead of following targets");
      app.add_option("--max-records", flags->maxRecords,
                     "Keep at most this many records, deleting the oldest")
          ->check(CLI::NonNegativeNumber);
      app.add_option("--max-age", flags->maxAge,
                     "Delete records older than this (e.g. 7d, 12h, 30m)");
      addCommonOptions(app, flags->common, /*withJson=*/false);
      return [flags] { return runRecord(*flags); };
    }};

}  // namespace remote
