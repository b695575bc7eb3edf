// tools/store/store_error.h
//
// The one error the record store throws: what went wrong, as a kind a
// command turns into its exit status (kBadQuery is the user's mistake, the
// rest are faults of the file or the machine), and a message that names
// the file and carries SQLite's or the regex engine's own words.
//
// Threads: a plain value; any thread.
#pragma once

#include <stdexcept>
#include <string>

namespace sqlite {
class Error;
}  // namespace sqlite

namespace store {

class StoreError : public std::runtime_error {
 public:
  enum class Kind {
    kCannotOpen,   // missing file, missing directory, no permission
    kNotOurs,      // not a SQLite database, or one of another application
    kNewerSchema,  // written by a newer version of the tools
    kReadOnly,     // a recorder cannot write the file or its directory
    kDiskFull,     // SQLITE_FULL; the batch was rolled back
    kLocked,       // another recorder holds the file, or a foreign writer does
    kCorrupt,      // SQLite found the file damaged
    kBadQuery,     // an invalid regex or full-text query
    kFailed,       // any other failure, with SQLite's message
  };

  StoreError(Kind kind, const std::string& message)
      : std::runtime_error(message), errorKind(kind) {}
  Kind kind() const { return errorKind; }

 private:
  Kind errorKind;
};

// The store's error for a failed SQLite call, SQLite's message kept:
// SQLITE_NOTADB is kNotOurs, SQLITE_FULL kDiskFull, and so on.
StoreError fromSqlite(const sqlite::Error& error);

}  // namespace store
