// bench/store_bench.cpp
//
// The record store, each measurement beside its floor:
//   store_ingest        batches of 1,000 records appended to a fresh store
//                       (one transaction each, FTS and every index on):
//                       records_per_second
//   store_ingest_floor  the same batches into one bare SQLite table of the
//                       same columns, no index, no full text
//   store_query/NAME    one query over a store of store_records records
//                       (1,000,000; TARVIN_BENCH_STORE_RECORDS makes it
//                       smaller), prepared and run as `query` would:
//     first100                 the floor: the first 100 rows, no filter
//     match_first100           a full-text match, first 100 rows
//     component_level_first100 one component at warning and above
//     stats                    records per target, component and level,
//                              gaps and records lost; also bytes_per_record,
//                              the store's file over its records once the
//                              WAL is checkpointed
// The large store is built once per process, in one bulk of large batches,
// in a temporary directory removed at exit; the query plans of the
// measured queries are printed on stderr once.
//
// Threads: Google Benchmark's main thread only.
#include "store_bench.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "store/sqlite_query.h"
#include "store/sqlite_store.h"
#include "store/store_stats.h"

namespace bench {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kIngestBatch = 1'000;
constexpr std::int64_t kDefaultStoreRecords = 1'000'000;

// A temporary directory that goes with its owner.
class TempDir {
 public:
  explicit TempDir(const std::string& name)
      : path(fs::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ignored;  // a leftover in /tmp must not fail the run
    fs::remove_all(path, ignored);
  }
  fs::path file(const std::string& name) const { return path / name; }

 private:
  fs::path path;
};

// Records like an application's: eight components, mostly debug and info,
// texts of eight words from a vocabulary of 400, three targets.
class RecordMaker {
 public:
  RecordMaker() : random(2024) {
    for (int i = 0; i < 400; ++i)
      words.push_back(std::string("w").append(std::to_string(i * 7919 % 100'000)));
    words[17] = "refused";  // the full-text benchmark's word, in about 1.5% of the texts
  }

  store::StoredRecord next() {
    static const char* const kComponents[] = {"net",  "db",    "ui", "core",
                                              "auth", "cache", "io", "sched"};
    static const char* const kTargets[] = {"127.0.0.1:57008", "127.0.0.1:57009", "127.0.0.1:57010"};
    const std::uint32_t n = count++;
    const char* component = kComponents[random() % 8];
    const int roll = static_cast<int>(random() % 100);
    const int level = roll < 2 ? 31 : roll < 10 ? 30 : roll < 40 ? 29 : 28;
    store::StoredRecord r;
    r.arrived.source = kTargets[n % 3];
    r.arrived.receivedAt =
        remote::SystemClock::time_point(std::chrono::microseconds(1'700'000'000'000'000 + n * 100));
    r.arrived.record.uuid[0] = static_cast<std::uint8_t>(n % 3);
    r.arrived.record.sequence = n / 3;
    r.arrived.record.clientMask = 1u << level;
    r.arrived.record.integers = {4242, static_cast<std::int32_t>(4243 + random() % 4),
                                 static_cast<std::int32_t>(n),
                                 static_cast<std::int32_t>(random() % 900)};
    std::string text;
    for (int w = 0; w < 8; ++w) text += words[random() % words.size()] + ' ';
    text += std::to_string(n);
    r.arrived.record.strings = {component,
                                std::string("/home/build/project/src/") + component + "/worker.cpp",
                                std::string(component) + "::Worker::step", std::move(text)};
    r.applicationName = "bench-host";
    r.levelName = level == 31 ? "error" : level == 30 ? "warning" : level == 29 ? "info" : "debug";
    return r;
  }

  std::vector<store::Entry> batch(std::size_t size) {
    std::vector<store::Entry> entries;
    entries.reserve(size);
    for (std::size_t i = 0; i < size; ++i) entries.emplace_back(next());
    return entries;
  }

 private:
  std::mt19937 random;
  std::vector<std::string> words;
  std::uint32_t count = 0;
};

std::int64_t fileBytes(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

// The next batch, made outside the timing. Each batch comes later than the
// last, as a recording's do: appending one batch again and again put every
// time-index entry among the old ones instead of at the end, and measured
// that instead of a recording (a third slower).
std::vector<store::Entry> untimedBatch(benchmark::State& state, RecordMaker& maker) {
  state.PauseTiming();
  std::vector<store::Entry> batch = maker.batch(kIngestBatch);
  state.ResumeTiming();
  return batch;
}

void BM_StoreIngest(benchmark::State& state) {
  TempDir dir("tarvin-store-ingest");
  const std::string path = dir.file("records.db").string();
  RecordMaker maker;
  std::int64_t appended = 0;
  {
    store::SqliteStore recorder(path, store::Access::kRecord);
    for (auto _ : state) {
      const std::vector<store::Entry> batch = untimedBatch(state, maker);
      recorder.append(batch);
      appended += static_cast<std::int64_t>(batch.size());
    }
  }
  state.counters["records_per_second"] =
      benchmark::Counter(static_cast<double>(appended), benchmark::Counter::kIsRate);
}

// The floor: the same values into one table without index or full text,
// one prepared statement, one transaction per batch.
void BM_StoreIngestFloor(benchmark::State& state) {
  TempDir dir("tarvin-store-floor");
  sqlite::Database db(dir.file("floor.db").string(), sqlite::Database::Mode::kReadWriteCreate);
  db.execute(
      "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
      "CREATE TABLE records(id INTEGER PRIMARY KEY, received_ns INTEGER, source INTEGER, sequence "
      "INTEGER,"
      " client_mask INTEGER, client_level INTEGER, level_name TEXT, pid INTEGER, tid INTEGER, tick "
      "INTEGER,"
      " line INTEGER, component TEXT, file TEXT, function TEXT, text TEXT)");
  sqlite::Statement insert(
      db, "INSERT INTO records VALUES (NULL,?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14)");
  RecordMaker maker;
  std::int64_t appended = 0;
  for (auto _ : state) {
    const std::vector<store::Entry> batch = untimedBatch(state, maker);
    sqlite::Transaction transaction(db, sqlite::Transaction::Kind::kImmediate);
    for (const store::Entry& entry : batch) {
      const auto& r = std::get<store::StoredRecord>(entry);
      const codec::LogRecord& l = r.arrived.record;
      insert.reset();
      insert.bind(1, r.arrived.receivedAt.time_since_epoch().count()).bind(2, std::int64_t{1});
      insert.bind(3, std::int64_t{l.sequence})
          .bind(4, std::int64_t{l.clientMask})
          .bind(5, std::int64_t{28});
      insert.bind(6, r.levelName);
      for (int i = 0; i < 4; ++i)
        insert.bind(7 + i, std::int64_t{l.integers[static_cast<std::size_t>(i)]});
      for (int i = 0; i < 4; ++i) insert.bind(11 + i, l.strings[static_cast<std::size_t>(i)]);
      insert.step();
    }
    transaction.commit();
    appended += static_cast<std::int64_t>(batch.size());
  }
  state.counters["records_per_second"] =
      benchmark::Counter(static_cast<double>(appended), benchmark::Counter::kIsRate);
}

struct QueryCase {
  const char* name;
  store::Filter filter;
};

const QueryCase kQueries[] = {
    {"first100", {.limit = 100}},
    {"match_first100", {.match = "refused", .limit = 100}},
    {"component_level_first100", {.components = {"net"}, .minClientLevel = 30, .limit = 100}},
};

// The plan of each measured query, once, on stderr: which index each uses.
void printPlans(store::SqliteStore& s, std::int64_t records) {
  std::fprintf(stderr, "store_bench: query plans over %lld records\n",
               static_cast<long long>(records));
  for (const QueryCase& q : kQueries) {
    std::fprintf(stderr, "-- %s\n%s", q.name, store::SqliteQuery(s, q.filter).plan().c_str());
  }
  std::fprintf(stderr, "-- stats\n%s", store::statsPlan(s).c_str());
}

// The store the queries read, built on first use.
class LargeStore {
 public:
  static LargeStore& get() {
    static LargeStore store;
    return store;
  }

  store::SqliteStore& reader() { return *readerStore; }
  std::int64_t records() const { return size; }
  double bytesPerRecord() const { return bytes; }

 private:
  LargeStore() : dir("tarvin-store-query") {
    const char* env = std::getenv("TARVIN_BENCH_STORE_RECORDS");
    size = env ? std::max<std::int64_t>(std::atoll(env), 1'000) : kDefaultStoreRecords;
    const std::string path = dir.file("records.db").string();
    {
      store::SqliteStore recorder(path, store::Access::kRecord);
      RecordMaker maker;
      for (std::int64_t done = 0; done < size;) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(100'000, size - done));
        recorder.append(maker.batch(n));
        done += static_cast<std::int64_t>(n);
      }
      // No ANALYZE: a recorder never runs one, and the plans must not
      // depend on it.
      recorder.database().execute("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    bytes =
        static_cast<double>(fileBytes(path) + fileBytes(path + "-wal")) / static_cast<double>(size);
    readerStore = std::make_unique<store::SqliteStore>(path, store::Access::kRead);
    printPlans(*readerStore, size);
  }

  TempDir dir;
  std::int64_t size = 0;
  double bytes = 0;
  std::unique_ptr<store::SqliteStore> readerStore;
};

void BM_StoreQuery(benchmark::State& state, const store::Filter& filter) {
  LargeStore& large = LargeStore::get();
  std::int64_t rows = 0;
  for (auto _ : state) {
    store::SqliteQuery query(large.reader(), filter);
    query.run([&](const store::Row& row) {
      benchmark::DoNotOptimize(row);
      ++rows;
      return true;
    });
  }
  state.counters["rows"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kAvgIterations);
  state.counters["store_records"] = static_cast<double>(large.records());
}

void BM_StoreStats(benchmark::State& state) {
  LargeStore& large = LargeStore::get();
  for (auto _ : state) benchmark::DoNotOptimize(store::collectStats(large.reader()));
  state.counters["store_records"] = static_cast<double>(large.records());
  state.counters["bytes_per_record"] = large.bytesPerRecord();
}

}  // namespace

void registerStoreBenchmarks() {
  // CPU time of the whole process: the store copies its log into the file
  // on a thread of its own, which the floor does on its only one.
  benchmark::RegisterBenchmark("store_ingest", BM_StoreIngest)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("store_ingest_floor", BM_StoreIngestFloor)
      ->UseRealTime()
      ->MeasureProcessCPUTime()
      ->Unit(benchmark::kMillisecond);
  for (const QueryCase& q : kQueries) {
    benchmark::RegisterBenchmark((std::string("store_query/") + q.name).c_str(), BM_StoreQuery,
                                 q.filter)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("store_query/stats", BM_StoreStats)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
