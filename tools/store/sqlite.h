// tools/store/sqlite.h
//
// A thin owner layer over SQLite's C interface: a connection (Database), a
// prepared statement that is bound, stepped and reset again and again
// (Statement), a transaction that rolls back unless committed
// (Transaction), and the error every failed call turns into (Error), which
// keeps SQLite's result code and message. Nothing here knows the record
// store's schema.
//
// Threads: a Database and everything made from it belong to one thread at a
// time; connections open without SQLite's own locking (SQLITE_OPEN_NOMUTEX),
// which a connection used by one thread does not need.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace sqlite {

// A failed SQLite call: `code` is the extended result code (SQLITE_FULL,
// SQLITE_READONLY_DBMOVED, ...), what() is "context: SQLite's message".
class Error : public std::runtime_error {
 public:
  Error(int code, const std::string& message) : std::runtime_error(message), extendedCode(code) {}
  int code() const { return extendedCode; }
  int primaryCode() const { return extendedCode & 0xff; }

 private:
  int extendedCode;
};

class Database {
 public:
  // kImmutable reads a file nobody can change (on a read-only file
  // system): no locks, no -shm file, and a -wal file is not looked at.
  enum class Mode { kReadOnly, kImmutable, kReadWrite, kReadWriteCreate };

  // Opens `path`; throws Error when SQLite cannot. A file that is not a
  // database opens fine: the first statement that reads it fails with
  // SQLITE_NOTADB.
  Database(const std::string& path, Mode mode);
  ~Database();
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db; }
  const std::string& path() const { return filePath; }

  // Runs one or more statements that return no rows we need.
  void execute(std::string_view sql);
  // The first column of the first row of `sql` (a PRAGMA, a count).
  std::optional<std::int64_t> queryInt(std::string_view sql);

  // Whether SQLite opened the file for reading only (the file or its
  // directory is not writable, or the mode asked for it).
  bool readOnly() const;
  std::int64_t changes() const;

  // Throws the Error for `code` with SQLite's latest message on this
  // connection, prefixed by `context`.
  [[noreturn]] void fail(int code, std::string_view context) const;

 private:
  sqlite3* db = nullptr;
  std::string filePath;
};

class Statement {
 public:
  // Prepared once; `persistent` tells SQLite the statement is kept and
  // reused for the life of the connection. Throws Error on bad SQL.
  Statement(Database& database, std::string_view sql, bool persistent = true);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters count from 1, as in SQL's ?1.
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, std::string_view text);  // copied by SQLite
  // Not copied, for the writer's hot loop: `text` must stay as it is until
  // the next reset(), which clears the bindings.
  Statement& bindUncopied(int index, std::string_view text);
  Statement& bind(int index, std::span<const std::uint8_t> blob);
  Statement& bindNull(int index);

  // True when a row is ready, false when the statement has finished.
  bool step();
  // Ready for the next bind and step; bindings are cleared too.
  void reset();

  // Columns count from 0.
  std::int64_t columnInt(int column) const;
  std::string columnText(int column) const;
  std::span<const std::uint8_t> columnBlob(int column) const;  // valid until the next step
  bool columnIsNull(int column) const;

  // "SCAN records USING INDEX ..." lines of EXPLAIN QUERY PLAN, one per
  // line, indented by depth; for benchmarks and for users asking why.
  std::string queryPlan() const;

 private:
  Statement& bindText(int index, std::string_view text, void (*keep)(void*));

  Database* database = nullptr;
  sqlite3_stmt* statement = nullptr;
};

class Transaction {
 public:
  // kImmediate takes the write lock at BEGIN, so a second writer fails
  // there (after the busy timeout) rather than halfway through a batch.
  enum class Kind { kDeferred, kImmediate };
  Transaction(Database& database, Kind kind);
  ~Transaction();  // rolls back unless committed; never throws
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void commit();

 private:
  Database& database;
  bool open = true;
};

}  // namespace sqlite
