// tools/store/sqlite.cpp
//
// The owner types of sqlite.h over SQLite's C interface. Every failed call
// becomes an Error carrying the extended result code and SQLite's message.
//
// Threads: see sqlite.h; nothing here is shared between objects.
#include "store/sqlite.h"

#include <sqlite3.h>

#include <map>
#include <utility>

namespace sqlite {

Database::Database(const std::string& path, Mode mode) : filePath(path) {
  // SQLite counts every allocation under one process-wide mutex unless
  // told not to before its first use; nothing here reads those counts,
  // and a recorder's writer allocates several times for every record.
  [[maybe_unused]] static const int configured = ::sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  int flags = SQLITE_OPEN_NOMUTEX;  // one thread per connection, see the header
  switch (mode) {
    case Mode::kReadOnly:
      flags |= SQLITE_OPEN_READONLY;
      break;
    case Mode::kImmutable:
      flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
      break;
    case Mode::kReadWrite:
      flags |= SQLITE_OPEN_READWRITE;
      break;
    case Mode::kReadWriteCreate:
      flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
      break;
  }
  std::string name = path;
  if (mode == Mode::kImmutable) {
    name = "file:";
    for (const char ch : path) {
      if (ch == '%' || ch == '?' || ch == '#') {
        static const char kHex[] = "0123456789ABCDEF";
        name += {'%', kHex[(ch >> 4) & 0xf], kHex[ch & 0xf]};
      } else {
        name += ch;
      }
    }
    name += "?immutable=1";
  }
  const int rc = ::sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    // A handle comes back even on failure (unless out of memory) and holds
    // the message; it must still be closed.
    const std::string message = db ? ::sqlite3_errmsg(db) : ::sqlite3_errstr(rc);
    const int code = db ? ::sqlite3_extended_errcode(db) : rc;
    ::sqlite3_close(db);
    db = nullptr;
    throw Error(code, "cannot open " + path + ": " + message);
  }
  ::sqlite3_extended_result_codes(db, 1);
}

Database::~Database() {
  // Statements are finalized by their owners first; _v2 defers the close
  // instead of failing should one still be alive.
  if (db) ::sqlite3_close_v2(db);
}

Database::Database(Database&& other) noexcept
    : db(std::exchange(other.db, nullptr)), filePath(std::move(other.filePath)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    if (db) ::sqlite3_close_v2(db);
    db = std::exchange(other.db, nullptr);
    filePath = std::move(other.filePath);
  }
  return *this;
}

void Database::execute(std::string_view sql) {
  const std::string text(sql);
  char* message = nullptr;
  const int rc = ::sqlite3_exec(db, text.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return;
  const std::string what = message ? message : ::sqlite3_errstr(rc);
  ::sqlite3_free(message);
  throw Error(::sqlite3_extended_errcode(db), filePath + ": " + what);
}

std::optional<std::int64_t> Database::queryInt(std::string_view sql) {
  Statement statement(*this, sql, /*persistent=*/false);
  if (!statement.step() || statement.columnIsNull(0)) return std::nullopt;
  return statement.columnInt(0);
}

bool Database::readOnly() const { return ::sqlite3_db_readonly(db, "main") == 1; }

std::int64_t Database::changes() const { return ::sqlite3_changes64(db); }

void Database::fail(int code, std::string_view context) const {
  std::string message = filePath;
  if (!context.empty()) message.append(": ").append(context);
  message.append(": ").append(::sqlite3_errmsg(db));
  throw Error(code, message);
}

Statement::Statement(Database& database, std::string_view sql, bool persistent)
    : database(&database) {
  const unsigned int flags = persistent ? SQLITE_PREPARE_PERSISTENT : 0;
  const int rc = ::sqlite3_prepare_v3(database.handle(), sql.data(), static_cast<int>(sql.size()),
                                      flags, &statement, nullptr);
  if (rc != SQLITE_OK) database.fail(::sqlite3_extended_errcode(database.handle()), "");
}

Statement::~Statement() { ::sqlite3_finalize(statement); }

Statement::Statement(Statement&& other) noexcept
    : database(other.database), statement(std::exchange(other.statement, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    ::sqlite3_finalize(statement);
    database = other.database;
    statement = std::exchange(other.statement, nullptr);
  }
  return *this;
}

Statement& Statement::bind(int index, std::int64_t value) {
  const int rc = ::sqlite3_bind_int64(statement, index, value);
  if (rc != SQLITE_OK) database->fail(rc, "bind");
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  return bindText(index, text, SQLITE_TRANSIENT);
}

Statement& Statement::bindUncopied(int index, std::string_view text) {
  return bindText(index, text, SQLITE_STATIC);
}

Statement& Statement::bindText(int index, std::string_view text, void (*keep)(void*)) {
  // An empty view may have no data pointer, which SQLite would bind as
  // NULL; an empty string is what was meant.
  const char* bytes = text.data() ? text.data() : "";
  const int rc = ::sqlite3_bind_text64(statement, index, bytes, text.size(), keep, SQLITE_UTF8);
  if (rc != SQLITE_OK) database->fail(rc, "bind");
  return *this;
}

Statement& Statement::bind(int index, std::span<const std::uint8_t> blob) {
  const int rc =
      ::sqlite3_bind_blob64(statement, index, blob.data(), blob.size(), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) database->fail(rc, "bind");
  return *this;
}

Statement& Statement::bindNull(int index) {
  const int rc = ::sqlite3_bind_null(statement, index);
  if (rc != SQLITE_OK) database->fail(rc, "bind");
  return *this;
}

bool Statement::step() {
  const int rc = ::sqlite3_step(statement);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  // The statement stays usable after reset(); the caller's transaction
  // decides whether what it did so far is kept.
  database->fail(rc, "");
}

void Statement::reset() {
  ::sqlite3_reset(statement);  // repeats the last step's error, already thrown
  ::sqlite3_clear_bindings(statement);
}

std::int64_t Statement::columnInt(int column) const {
  return ::sqlite3_column_int64(statement, column);
}

std::string Statement::columnText(int column) const {
  const auto* text = ::sqlite3_column_text(statement, column);
  const int bytes = ::sqlite3_column_bytes(statement, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes))
              : std::string();
}

std::span<const std::uint8_t> Statement::columnBlob(int column) const {
  const auto* blob = static_cast<const std::uint8_t*>(::sqlite3_column_blob(statement, column));
  const int bytes = ::sqlite3_column_bytes(statement, column);
  return {blob, blob ? static_cast<std::size_t>(bytes) : 0};
}

bool Statement::columnIsNull(int column) const {
  return ::sqlite3_column_type(statement, column) == SQLITE_NULL;
}

std::string Statement::queryPlan() const {
  // The bound values are written into the text, so the plan is the one
  // this statement gets (a range on a bound time, not on NULL).
  char* expanded = ::sqlite3_expanded_sql(statement);
  const std::string sql =
      std::string("EXPLAIN QUERY PLAN ") + (expanded ? expanded : ::sqlite3_sql(statement));
  ::sqlite3_free(expanded);
  Statement explain(*database, sql, /*persistent=*/false);
  std::map<std::int64_t, int> depth;  // plan node id -> indentation
  std::string plan;
  while (explain.step()) {
    const int level = depth.contains(explain.columnInt(1)) ? depth[explain.columnInt(1)] + 1 : 0;
    depth[explain.columnInt(0)] = level;
    plan.append(static_cast<std::size_t>(2 * level), ' ')
        .append(explain.columnText(3))
        .append("\n");
  }
  return plan;
}

Transaction::Transaction(Database& database, Kind kind) : database(database) {
  database.execute(kind == Kind::kImmediate ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  // A failed statement may already have rolled the transaction back
  // (SQLITE_FULL does); ROLLBACK then fails harmlessly.
  if (open) ::sqlite3_exec(database.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
  database.execute("COMMIT");
  open = false;
}

}  // namespace sqlite
