// tools/store/store_error.h
//
// The one error the record store throws: what went wrong, as a kind of the
// store's own (kBadRegex and kBadMatch are the user's mistakes, the rest
// are faults of the file or the machine), which errorKindOf() says in the
// tools' common terms for each front end to report, and a message that
// names the file and carries SQLite's or the regex engine's own words.
//
// Threads: a plain value; any thread.
#pragma once

#include <stdexcept>
#include <string>

#include "base/tool_error.h"

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
    kBadRegex,     // a --grep expression the regex engine refuses
    kBadMatch,     // a full-text query SQLite cannot parse
    // A store server that does not answer, refuses the connection or fails
    // for the moment: nothing of the batch is visible, and the same batch
    // may be appended again later without showing anything twice.
    kUnavailable,
    kFailed,  // any other failure, with the engine's message
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

// The store's fault in the tools' terms: a bad regex or full-text query is
// the user's, a full disk loses the batch, the rest are this machine's.
remote::ErrorKind errorKindOf(const StoreError& error);

}  // namespace store
