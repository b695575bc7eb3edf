// tools/store/clickhouse_location.h
//
// Where a ClickHouse store is: clickhouse://[USER@]HOST[:PORT]/DATABASE
// [?table=NAME] (plain HTTP, port 8123 by default) or clickhouses://...
// (HTTPS, port 8443), and the password, which never comes in the name: it
// is read from the file --db-password-file names, else from the
// environment variable TARVIN_DB_PASSWORD. shown() is the name for
// messages, without any password.
//
// Threads: plain values and pure functions (readPassword reads a file).
#pragma once

#include <optional>
#include <string>

namespace store {

inline constexpr const char* kPasswordVariable = "TARVIN_DB_PASSWORD";

struct ClickHouseLocation {
  bool tls = false;
  std::string user;  // empty: the server's default user
  std::string password;
  std::string host;
  int port = 8123;
  std::string database;
  std::string table = "records";  // the audit rows go to TABLE_audit

  std::string shown() const;  // the URL as given, never the password
};

// Whether `name` names a ClickHouse store rather than a SQLite file.
bool isClickHouseName(const std::string& name);

// Parses a clickhouse:// or clickhouses:// name and takes the password
// from `passwordFile` (when given) or the environment. Throws StoreError
// kCannotOpen for a name it cannot read, a password in the name, or a
// password file it cannot read.
ClickHouseLocation parseClickHouseLocation(const std::string& name,
                                           const std::string& passwordFile);

}  // namespace store
