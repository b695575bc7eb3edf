// tools/store/sqlite_store.cpp
//
// The record store's schema and migrations, opening as recorder or reader,
// appending batches and retention. See sqlite_store.h.
//
// Threads: a SqliteStore belongs to one thread.
#include "store/sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "model/levels.h"
#include "store/sql_regexp.h"
#include "store/sqlite_query.h"
#include "store/store_stats.h"

namespace store {
namespace {

using Kind = StoreError::Kind;

// "TRVR" in PRAGMA application_id marks a file as ours; a SQLite file with
// another id, or with tables and none, belongs to someone else.
constexpr std::int64_t kApplicationId = 0x54525652;

// kMigrations[v] takes a store from schema version v to v + 1; version 0
// is an empty file. A new version appends a step and never edits one.
constexpr std::string_view kMigrations[] = {
    // 0 -> 1
    R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) STRICT, WITHOUT ROWID;
INSERT INTO meta VALUES ('last_id', 0);
-- A target instance: records repeat it, so they keep just its number.
CREATE TABLE sources(
  id INTEGER PRIMARY KEY,
  target TEXT NOT NULL,       -- "address:port"
  uuid BLOB NOT NULL,
  application TEXT NOT NULL,
  UNIQUE(target, uuid, application)) STRICT;
-- The four integers are pid, tid, tick and line, the four strings
-- component, file, function and text, each kept once as it came (tick as
-- the unsigned number it stands for).
CREATE TABLE records(
  id INTEGER PRIMARY KEY,     -- one counter with gaps: the order of events
  received_ns INTEGER NOT NULL,
  source INTEGER NOT NULL REFERENCES sources(id),
  sequence INTEGER NOT NULL,
  client_mask INTEGER NOT NULL,
  client_level INTEGER NOT NULL,  -- -1 when the mask is not one bit
  level_name TEXT NOT NULL,
  pid INTEGER NOT NULL,
  tid INTEGER NOT NULL,
  tick INTEGER NOT NULL,
  line INTEGER NOT NULL,
  component TEXT NOT NULL,
  file TEXT NOT NULL,
  function TEXT NOT NULL,
  text TEXT NOT NULL) STRICT;
-- Every index ends in the id (SQLite appends it), so each one also serves
-- "ordered by id" within its keys, and the statistics scan them alone.
CREATE INDEX records_time ON records(received_ns);
CREATE INDEX records_source ON records(source);
CREATE INDEX records_component ON records(component, client_level);
CREATE INDEX records_level ON records(client_level, level_name);
-- Records per target instance, component and level, kept in the same
-- transactions as the records: statistics by these keys read this table,
-- not a million index entries.
CREATE TABLE counts(
  source INTEGER NOT NULL,
  component TEXT NOT NULL,
  client_level INTEGER NOT NULL,
  level_name TEXT NOT NULL,
  records INTEGER NOT NULL,
  PRIMARY KEY(source, component, client_level, level_name)) STRICT, WITHOUT ROWID;
CREATE TABLE gaps(
  id INTEGER PRIMARY KEY,
  seen_ns INTEGER NOT NULL,
  source INTEGER NOT NULL REFERENCES sources(id),
  first INTEGER NOT NULL,
  last INTEGER NOT NULL,
  count INTEGER NOT NULL) STRICT;
CREATE INDEX gaps_source ON gaps(source);
-- Full text over what users search for. The records table holds the text
-- (external content), and nobody ranks, so no column sizes are kept. A
-- batch is indexed by one INSERT ... SELECT after its records: FTS5 writes
-- out its pending terms at every statement savepoint, and a trigger on each
-- record's INSERT made that one index segment per record, five times the
-- cost of the whole insert. Deletions keep their trigger (one DELETE
-- statement per retention step).
CREATE VIRTUAL TABLE records_fts USING fts5(
  text, function, file, component, content='records', content_rowid='id', columnsize=0);
CREATE TRIGGER records_fts_delete AFTER DELETE ON records BEGIN
  INSERT INTO records_fts(records_fts, rowid, text, function, file, component)
  VALUES ('delete', old.id, old.text, old.function, old.file, old.component);
END;
)sql",
    // 1 -> 2
    R"sql(
-- Level changes the tools made. Its own ids: a tool beside the recorder
-- appends here without touching the records' counter. Retention leaves
-- it alone: it is small, and who changed what is asked long after.
CREATE TABLE audit(
  id INTEGER PRIMARY KEY,
  at_ns INTEGER NOT NULL,
  target TEXT NOT NULL,       -- "address:port"
  application TEXT NOT NULL,
  component TEXT NOT NULL,
  mask_before INTEGER NOT NULL,
  mask_after INTEGER NOT NULL,
  levels_before TEXT NOT NULL,
  levels_after TEXT NOT NULL,
  by TEXT NOT NULL,
  why TEXT NOT NULL) STRICT;
CREATE INDEX audit_time ON audit(at_ns);
)sql",
};
static_assert(std::size(kMigrations) == kSchemaVersion, "one migration step per schema version");

std::int64_t toNs(remote::SystemClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

// Takes the recorder's lock on FILE-lock; throws kLocked naming the holder.
UniqueFd lockRecorder(const std::string& path) {
  const std::string lockPath = path + "-lock";
  UniqueFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) {
    const int err = errno;
    const Kind kind = (err == EROFS || err == EACCES) ? Kind::kReadOnly : Kind::kCannotOpen;
    throw StoreError(kind, "cannot create lock file " + lockPath + ": " + std::strerror(err));
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err != EWOULDBLOCK) {
      throw StoreError(Kind::kFailed, "cannot lock " + lockPath + ": " + std::strerror(err));
    }
    char pid[32] = {};
    const ssize_t n = ::pread(fd.get(), pid, sizeof pid - 1, 0);
    const std::string holder =
        n > 0 ? " (pid " + std::string(pid, static_cast<std::size_t>(n)) + ")" : "";
    throw StoreError(Kind::kLocked, path + ": another recorder is writing to this store" + holder);
  }
  // The pid is only for the message above; a failed write costs nothing else.
  const std::string pid = std::to_string(::getpid());
  if (::ftruncate(fd.get(), 0) == 0) (void)!::pwrite(fd.get(), pid.data(), pid.size(), 0);
  return fd;
}

sqlite::Database openDatabase(const std::string& path, Access access) {
  using Mode = sqlite::Database::Mode;
  Mode mode = access == Access::kRead ? Mode::kReadOnly : Mode::kReadWriteCreate;
  // A reader of WAL mode needs the -shm file, which a read-only file
  // system cannot give it; there nobody can write, so nothing needs locking.
  struct statvfs fileSystem {};
  if (mode == Mode::kReadOnly && ::statvfs(path.c_str(), &fileSystem) == 0 &&
      (fileSystem.f_flag & ST_RDONLY)) {
    mode = Mode::kImmutable;
  }
  try {
    return sqlite::Database(path, mode);
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

}  // namespace

struct SqliteStore::Writer {
  explicit Writer(sqlite::Database& db)
      // Columns by name: the numbers bound below follow this list, not the
      // order of the table's definition.
      : insertRecord(db,
                     "INSERT INTO records(id, received_ns, source, sequence, client_mask, "
                     "client_level, level_name, pid, tid, tick, line, component, file, "
                     "function, text) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15)"),
        indexText(
            db,
            "INSERT INTO records_fts(rowid, text, function, file, component) "
            "SELECT id, text, function, file, component FROM records WHERE id >= ?1 AND id < ?2"),
        insertGap(db,
                  "INSERT INTO gaps(id, seen_ns, source, first, last, count) "
                  "VALUES (?1,?2,?3,?4,?5,?6)"),
        insertSource(
            db, "INSERT INTO sources(target, uuid, application) VALUES (?1,?2,?3) RETURNING id"),
        saveLastId(db, "UPDATE meta SET value = ?1 WHERE key = 'last_id'"),
        addCount(db,
                 "INSERT INTO counts(source, component, client_level, level_name, records) "
                 "VALUES (?1,?2,?3,?4,?5) "
                 "ON CONFLICT DO UPDATE SET records = records + excluded.records"),
        dropEmptyCounts(db, "DELETE FROM counts WHERE records <= 0"),
        // Oldest by id: the order they were recorded in. What each deleted
        // record was counted under comes back for the counts.
        deleteOldest(
            db,
            "DELETE FROM records WHERE id IN (SELECT id FROM records ORDER BY id LIMIT ?1) "
            "RETURNING source, component, client_level, level_name"),
        deleteOlderThan(
            db,
            "DELETE FROM records WHERE id IN "
            "(SELECT id FROM records WHERE received_ns < ?1 ORDER BY received_ns LIMIT ?2) "
            "RETURNING source, component, client_level, level_name"),
        // A gap before the oldest record left has nothing to stand between.
        deleteOldGaps(db,
                      "DELETE FROM gaps WHERE id < (SELECT coalesce(min(id), ?1) FROM records)") {}

  sqlite::Statement insertRecord, indexText, insertGap, insertSource, saveLastId, addCount,
      dropEmptyCounts, deleteOldest, deleteOlderThan, deleteOldGaps;
};

SqliteStore::SqliteStore(const std::string& path, Access access)
    : lockFile(access == Access::kRecord ? lockRecorder(path) : UniqueFd()),
      db(openDatabase(path, access)) {
  try {
    if (access != Access::kRead && db.readOnly()) {
      throw StoreError(Kind::kReadOnly, path + (access == Access::kRecord
                                                    ? ": cannot record: the file is read-only"
                                                    : ": cannot audit: the file is read-only"));
    }
    // Readers wait out a checkpoint or a recovery instead of failing; the
    // recorder waits as long for a foreign writer before giving up.
    ::sqlite3_busy_timeout(db.handle(), 5'000);
    registerRecordMatch(db);  // for queries: --grep and --exclude
    checkSchema(/*mayCreate=*/access != Access::kRead);
    if (access == Access::kRecord) prepareWriter();
    // A store the audit writer made is in WAL mode from the start, so that
    // a recorder and it never wait on each other's readers.
    if (access == Access::kAudit) db.execute("PRAGMA journal_mode = WAL");
    auditing = access != Access::kRead;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

SqliteStore::~SqliteStore() = default;

void SqliteStore::checkSchema(bool mayCreate) {
  // The first read of the file: a file that is not SQLite fails here.
  const std::int64_t applicationId = db.queryInt("PRAGMA application_id").value_or(0);
  const std::int64_t version = db.queryInt("PRAGMA user_version").value_or(0);
  const std::int64_t tables = db.queryInt("SELECT count(*) FROM sqlite_schema").value_or(0);
  const std::string& path = db.path();
  if (applicationId != kApplicationId && (applicationId != 0 || version != 0 || tables != 0)) {
    throw StoreError(Kind::kNotOurs,
                     path + ": a SQLite database of another application, not a record store");
  }
  if (version > kSchemaVersion) {
    throw StoreError(Kind::kNewerSchema,
                     path + ": record store of schema version " + std::to_string(version) +
                         "; these tools know versions up to " + std::to_string(kSchemaVersion));
  }
  if (version == kSchemaVersion) return;
  if (!mayCreate) {
    if (version == 0)
      throw StoreError(Kind::kNotOurs, path + ": an empty database, not a record store");
    throw StoreError(Kind::kFailed, path + ": record store of schema version " +
                                        std::to_string(version) +
                                        "; record into it once to upgrade it");
  }
  sqlite::Transaction transaction(db, sqlite::Transaction::Kind::kImmediate);
  // Read again under the write lock: an audit writer and a recorder may
  // both have found the store older and waited here for each other.
  const std::int64_t now = db.queryInt("PRAGMA user_version").value_or(0);
  if (now == kSchemaVersion) return;
  if (now == 0) db.execute("PRAGMA application_id = " + std::to_string(kApplicationId));
  for (std::int64_t v = now; v < kSchemaVersion; ++v) {
    db.execute(kMigrations[v]);
  }
  db.execute("PRAGMA user_version = " + std::to_string(kSchemaVersion));
  transaction.commit();
}

void SqliteStore::prepareWriter() {
  // A committed batch survives a crash of the recorder (the WAL is in the
  // file system); only a power cut may lose the last ones.
  db.execute("PRAGMA synchronous = NORMAL");
  // Kept in the file: readers never block the recorder, nor it them.
  {
    sqlite::Statement wal(db, "PRAGMA journal_mode = WAL", /*persistent=*/false);
    if (!wal.step() || wal.columnText(0) != "wal") {
      throw StoreError(Kind::kFailed, db.path() + ": cannot switch the store to WAL mode");
    }
  }  // finalized: until then it holds the file locked for the checkpointer's connection
  // A log that grew long in a burst is cut back once it starts over.
  db.execute("PRAGMA journal_size_limit = " + std::to_string(16 << 20));
  // The full-text index merges its segments as batches come in. At FTS5's
  // default of 4 segments a level, the merging cost as much as the rest of
  // the index, a sixth of a record's whole cost; 16, the most it takes,
  // halves it at the price of a few more segments for a search to read.
  // Kept in the file, and set again at every open for stores made before.
  db.execute("INSERT INTO records_fts(records_fts, rank) VALUES ('automerge', 16)");
  checkpointer = std::make_unique<WalCheckpointer>(db);
  writer = std::make_unique<Writer>(db);
  // The counter outlives the rows: a store emptied by max-age goes on with
  // the next id, so a follower's "after id" stays right.
  nextId = db.queryInt("SELECT value FROM meta WHERE key = 'last_id'").value_or(0) + 1;
  records = db.queryInt("SELECT sum(records) FROM counts").value_or(0);
  sqlite::Statement all(db, "SELECT id, target, uuid, application FROM sources",
                        /*persistent=*/false);
  while (all.step()) {
    codec::Uuid uuid{};
    const auto blob = all.columnBlob(2);
    std::copy_n(blob.begin(), std::min(blob.size(), uuid.size()), uuid.begin());
    sources[{all.columnText(1), uuid, all.columnText(3)}] = all.columnInt(0);
  }
}

std::int64_t SqliteStore::sourceId(const std::string& target, const codec::Uuid& uuid,
                                   const std::string& application) {
  auto key = std::make_tuple(target, uuid, application);
  if (auto it = sources.find(key); it != sources.end()) return it->second;
  sqlite::Statement& insert = writer->insertSource;
  insert.reset();
  insert.bind(1, target).bind(2, std::span<const std::uint8_t>(uuid)).bind(3, application);
  insert.step();
  const std::int64_t id = insert.columnInt(0);
  insert.reset();
  // Cached before the commit: append() forgets it should the batch roll back.
  sourcesAdded.push_back(key);
  sources.emplace(std::move(key), id);
  return id;
}

void SqliteStore::insertRecord(std::int64_t id, const StoredRecord& stored, Counts& counted) {
  const remote::ArrivedRecord& a = stored.arrived;
  const codec::LogRecord& r = a.record;
  const std::int64_t source = sourceId(a.source, r.uuid, stored.applicationName);
  const int level = remote::recordClientLevel(r.clientMask);
  std::string levelName =
      stored.levelName.empty() ? remote::recordLevelName(r.clientMask, {}) : stored.levelName;
  sqlite::Statement& insert = writer->insertRecord;
  insert.reset();
  insert.bind(1, id).bind(2, toNs(a.receivedAt)).bind(3, source);
  insert.bind(4, std::int64_t{r.sequence}).bind(5, std::int64_t{r.clientMask});
  // Bound uncopied: record and name outlive the step and the reset after
  // it, and five copies were a tenth of the insert.
  insert.bind(6, std::int64_t{level}).bindUncopied(7, levelName);
  insert.bind(8, std::int64_t{r.pid()}).bind(9, std::int64_t{r.tid()});
  insert.bind(10, std::int64_t{r.tick()}).bind(11, std::int64_t{r.line()});
  insert.bindUncopied(12, r.component()).bindUncopied(13, r.file());
  insert.bindUncopied(14, r.function()).bindUncopied(15, r.text());
  insert.step();
  insert.reset();
  ++counted[{source, r.component(), level, std::move(levelName)}];
  ++records;
}

void SqliteStore::insertGap(std::int64_t id, const StoredGap& g) {
  sqlite::Statement& insert = writer->insertGap;
  insert.reset();
  insert.bind(1, id).bind(2, toNs(g.seenAt)).bind(3, sourceId(g.target, g.uuid, g.applicationName));
  insert.bind(4, std::int64_t{g.gap.first}).bind(5, std::int64_t{g.last()});
  insert.bind(6, std::int64_t{g.gap.count});
  insert.step();
}

std::int64_t SqliteStore::append(std::span<const Entry> entries,
                                 remote::SystemClock::time_point now) {
  if (!writer)
    throw StoreError(Kind::kFailed, db.path() + ": opened for reading, not for recording");
  const std::int64_t firstId = nextId;
  const std::int64_t recordsBefore = records;
  sourcesAdded.clear();
  try {
    sqlite::Transaction transaction(db, sqlite::Transaction::Kind::kImmediate);
    Counts counted;
    std::int64_t id = firstId;
    for (const Entry& entry : entries) {
      if (const auto* stored = std::get_if<StoredRecord>(&entry)) {
        insertRecord(id++, *stored, counted);
      } else {
        insertGap(id++, std::get<StoredGap>(entry));
      }
    }
    // The batch's text indexed in one statement (one index segment), and
    // the counts statistics read.
    if (records != recordsBefore) {
      writer->indexText.reset();
      writer->indexText.bind(1, firstId).bind(2, id).step();
      addCounts(counted);
    }
    writer->saveLastId.reset();
    writer->saveLastId.bind(1, id - 1).step();
    const std::int64_t deleted =
        trimLocked(now, static_cast<std::int64_t>(entries.size()) + kTrimStep);
    transaction.commit();
    nextId = id;
    return deleted;
  } catch (const sqlite::Error& e) {
    // The transaction rolled back: forget what it added.
    records = recordsBefore;
    for (const auto& key : sourcesAdded) sources.erase(key);
    throw fromSqlite(e);
  }
}

std::int64_t SqliteStore::trim(remote::SystemClock::time_point now, std::int64_t atMost) {
  if (!writer)
    throw StoreError(Kind::kFailed, db.path() + ": opened for reading, not for recording");
  const std::int64_t recordsBefore = records;
  try {
    sqlite::Transaction transaction(db, sqlite::Transaction::Kind::kImmediate);
    const std::int64_t deleted = trimLocked(now, atMost);
    transaction.commit();
    return deleted;
  } catch (const sqlite::Error& e) {
    records = recordsBefore;
    throw fromSqlite(e);
  }
}

std::int64_t SqliteStore::trimLocked(remote::SystemClock::time_point now, std::int64_t atMost) {
  Counts uncounted;
  std::int64_t deleted = 0;
  const auto drain = [&](sqlite::Statement& del) {
    while (del.step()) {
      --uncounted[{del.columnInt(0), del.columnText(1), static_cast<int>(del.columnInt(2)),
                   del.columnText(3)}];
      ++deleted;
    }
  };
  if (keep.maxAge.count() > 0 && atMost > 0) {
    sqlite::Statement& del = writer->deleteOlderThan;
    del.reset();
    del.bind(1, toNs(now) - keep.maxAge.count()).bind(2, atMost);
    drain(del);
  }
  if (keep.maxRecords > 0 && records - deleted > keep.maxRecords && deleted < atMost) {
    sqlite::Statement& del = writer->deleteOldest;
    del.reset();
    del.bind(1, std::min(records - deleted - keep.maxRecords, atMost - deleted));
    drain(del);
  }
  if (deleted == 0) return 0;
  records -= deleted;
  addCounts(uncounted);
  writer->dropEmptyCounts.reset();
  writer->dropEmptyCounts.step();
  writer->deleteOldGaps.reset();
  writer->deleteOldGaps.bind(1, nextId).step();
  return deleted;
}

void SqliteStore::addCounts(const Counts& counts) {
  sqlite::Statement& add = writer->addCount;
  for (const auto& [key, n] : counts) {
    const auto& [source, component, level, levelName] = key;
    add.reset();
    add.bind(1, source)
        .bind(2, component)
        .bind(3, std::int64_t{level})
        .bind(4, levelName)
        .bind(5, n);
    add.step();
  }
}

std::int64_t SqliteStore::recordCount() {
  if (writer) return records;
  try {
    return db.queryInt("SELECT sum(records) FROM counts").value_or(0);
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

std::int64_t SqliteStore::lastId() {
  try {
    return db.queryInt("SELECT value FROM meta WHERE key = 'last_id'").value_or(0);
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

std::vector<std::string> SqliteStore::textColumn(const char* sql) {
  try {
    sqlite::Statement names(db, sql, /*persistent=*/false);
    std::vector<std::string> values;
    while (names.step()) values.push_back(names.columnText(0));
    return values;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

std::vector<std::string> SqliteStore::components() {
  // The counts table has a row per component still holding records.
  return textColumn("SELECT DISTINCT component FROM counts ORDER BY component");
}

remote::Levels SqliteStore::levels() {
  try {
    sqlite::Statement names(
        db, "SELECT DISTINCT client_level, level_name FROM records WHERE client_level >= 0",
        /*persistent=*/false);
    remote::Levels levels;
    while (names.step()) {
      levels.push_back({static_cast<std::uint32_t>(names.columnInt(0)), names.columnText(1)});
    }
    return levels;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

std::vector<std::string> SqliteStore::targets() {
  return textColumn("SELECT DISTINCT target FROM sources ORDER BY target");
}

std::vector<SeenTarget> SqliteStore::seenTargets() {
  try {
    // Per target instance, from the small tables and the newest record by
    // the source index: cheap enough for a console to ask every few seconds.
    sqlite::Statement sources(
        db,
        "SELECT s.target, s.application, lower(hex(s.uuid)), "
        "(SELECT max(id) FROM records r WHERE r.source = s.id), "
        "(SELECT coalesce(sum(records), 0) FROM counts c WHERE c.source = s.id), "
        "(SELECT count(*) FROM gaps g WHERE g.source = s.id), "
        "(SELECT coalesce(sum(count), 0) FROM gaps g WHERE g.source = s.id) "
        "FROM sources s ORDER BY s.target, s.id",
        /*persistent=*/false);
    sqlite::Statement received(db, "SELECT received_ns FROM records WHERE id = ?1",
                               /*persistent=*/false);
    sqlite::Statement components(db,
                                 "SELECT DISTINCT c.component FROM counts c JOIN sources s "
                                 "ON s.id = c.source WHERE s.target = ?1 ORDER BY c.component",
                                 /*persistent=*/false);
    std::vector<SeenTarget> seen;
    std::int64_t newestId = -1;  // of the instance the entry names
    while (sources.step()) {
      if (seen.empty() || seen.back().target != sources.columnText(0)) {
        seen.emplace_back().target = sources.columnText(0);
        newestId = -1;
      }
      SeenTarget& t = seen.back();
      t.records += sources.columnInt(4);
      t.gaps += sources.columnInt(5);
      t.lost += sources.columnInt(6);
      const bool hasRecords = !sources.columnIsNull(3);
      const std::int64_t last = hasRecords ? sources.columnInt(3) : 0;
      if (t.uuid.empty() || last > newestId) {
        t.application = sources.columnText(1);
        t.uuid = sources.columnText(2);
        newestId = last;
        if (hasRecords) {
          received.reset();
          received.bind(1, last);
          if (received.step())
            t.lastRecord = remote::SystemClock::time_point(
                std::chrono::duration_cast<remote::SystemClock::duration>(
                    std::chrono::nanoseconds(received.columnInt(0))));
        }
      }
    }
    for (SeenTarget& t : seen) {
      components.reset();
      components.bind(1, t.target);
      while (components.step()) t.components.push_back(components.columnText(0));
    }
    return seen;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

void SqliteStore::appendAudit(const AuditRow& row) {
  if (!auditing)
    throw StoreError(Kind::kReadOnly, db.path() + ": opened for reading, not for auditing");
  try {
    sqlite::Statement insert(db,
                             "INSERT INTO audit(at_ns, target, application, component, "
                             "mask_before, mask_after, levels_before, levels_after, by, why) "
                             "VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10)",
                             /*persistent=*/false);
    insert.bind(1, toNs(row.at)).bind(2, row.target).bind(3, row.application);
    insert.bind(4, row.component).bind(5, std::int64_t{row.maskBefore});
    insert.bind(6, std::int64_t{row.maskAfter}).bind(7, row.levelsBefore);
    insert.bind(8, row.levelsAfter).bind(9, row.by).bind(10, row.why);
    insert.step();
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

std::vector<AuditRow> SqliteStore::audit(const AuditFilter& filter) {
  std::string where = "id > ?";
  std::vector<std::variant<std::int64_t, std::string>> parameters{filter.afterId};
  if (filter.sinceNs) {
    where += " AND at_ns >= ?";
    parameters.emplace_back(*filter.sinceNs);
  }
  if (filter.untilNs) {
    where += " AND at_ns < ?";
    parameters.emplace_back(*filter.untilNs);
  }
  const auto anyOf = [&](const char* column, const std::vector<std::string>& values) {
    if (values.empty()) return;
    where += std::string(" AND ") + column + " IN (";
    for (std::size_t i = 0; i < values.size(); ++i) {
      where += i == 0 ? "?" : ",?";
      parameters.emplace_back(values[i]);
    }
    where += ")";
  };
  if (!filter.targets.empty()) {
    // "address:port" as given; a host alone, every port of it.
    where += " AND (0";
    for (const std::string& target : filter.targets) {
      const bool host = target.find(':') == std::string::npos;
      where += host ? " OR substr(target, 1, length(?) + 1) = ? || ':'" : " OR target = ?";
      parameters.emplace_back(target);
      if (host) parameters.emplace_back(target);
    }
    where += ")";
  }
  anyOf("component", filter.components);
  std::string sql =
      "SELECT id, at_ns, target, application, component, mask_before, mask_after, "
      "levels_before, levels_after, by, why FROM audit WHERE " +
      where + " ORDER BY id DESC";
  if (filter.limit > 0) sql += " LIMIT " + std::to_string(filter.limit);
  try {
    sqlite::Statement select(db, sql, /*persistent=*/false);
    int index = 1;
    for (const auto& p : parameters) {
      std::visit([&](const auto& value) { select.bind(index++, value); }, p);
    }
    std::vector<AuditRow> rows;
    while (select.step()) {
      AuditRow& row = rows.emplace_back();
      row.id = select.columnInt(0);
      row.at =
          remote::SystemClock::time_point(std::chrono::duration_cast<remote::SystemClock::duration>(
              std::chrono::nanoseconds(select.columnInt(1))));
      row.target = select.columnText(2);
      row.application = select.columnText(3);
      row.component = select.columnText(4);
      row.maskBefore = static_cast<std::uint32_t>(select.columnInt(5));
      row.maskAfter = static_cast<std::uint32_t>(select.columnInt(6));
      row.levelsBefore = select.columnText(7);
      row.levelsAfter = select.columnText(8);
      row.by = select.columnText(9);
      row.why = select.columnText(10);
    }
    std::reverse(rows.begin(), rows.end());  // oldest first
    return rows;
  } catch (const sqlite::Error& e) {
    throw fromSqlite(e);
  }
}

std::unique_ptr<Query> SqliteStore::query(Filter filter) {
  return std::make_unique<SqliteQuery>(*this, std::move(filter));
}

Stats SqliteStore::stats(const Filter& filter) { return collectStats(*this, filter); }

std::string SqliteStore::statsPlan(const Filter& filter) { return store::statsPlan(*this, filter); }

KnownRecords SqliteStore::known(std::span<const Entry> entries) { return {*this, entries}; }

}  // namespace store
