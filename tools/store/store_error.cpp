// tools/store/store_error.cpp
//
// Which StoreError kind an SQLite result code is, and what each is to the
// tools' front ends.
//
// Threads: pure function; any thread.
#include "store/store_error.h"

#include <sqlite3.h>

#include "store/sqlite.h"

namespace store {

StoreError fromSqlite(const sqlite::Error& error) {
  using Kind = StoreError::Kind;
  switch (error.primaryCode()) {
    case SQLITE_NOTADB:
      return {Kind::kNotOurs, std::string(error.what()) + " (not a record store)"};
    case SQLITE_FULL:
      return {Kind::kDiskFull, error.what()};
    case SQLITE_READONLY:
      return {Kind::kReadOnly, error.what()};
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {Kind::kLocked, error.what()};
    case SQLITE_CORRUPT:
      return {Kind::kCorrupt, error.what()};
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return {Kind::kCannotOpen, error.what()};
    default:
      return {Kind::kFailed, error.what()};
  }
}

remote::ErrorKind errorKindOf(const StoreError& error) {
  using Kind = StoreError::Kind;
  switch (error.kind()) {
    case Kind::kBadRegex:
      return remote::ErrorKind::kBadRegex;
    case Kind::kBadMatch:
      return remote::ErrorKind::kBadMatch;
    case Kind::kDiskFull:
      return remote::ErrorKind::kDataLost;
    case Kind::kUnavailable:
      return remote::ErrorKind::kNoAnswer;
    default:
      return remote::ErrorKind::kLocal;
  }
}

}  // namespace store
