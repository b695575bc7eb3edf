// tools/store/store.cpp
//
// Opening a store by its name, and what every engine's users share.
//
// Threads: see store.h.
#include "store/store.h"

#include "store/clickhouse_location.h"
#include "store/clickhouse_store.h"
#include "store/sqlite_store.h"

namespace store {
namespace {

std::string& passwordFile() {
  static std::string path;  // set once by the command, before any store opens
  return path;
}

}  // namespace

std::unique_ptr<Store> openStore(const std::string& location, Access access) {
  if (isClickHouseName(location))
    return std::make_unique<ClickHouseStore>(location, access, passwordFile());
  return std::make_unique<SqliteStore>(location, access);
}

void setPasswordFile(const std::string& path) { passwordFile() = path; }

std::vector<std::string> targetsNamed(Store& store, const std::vector<std::string>& asked) {
  if (asked.empty()) return {};
  const std::vector<std::string> stored = store.targets();
  std::vector<std::string> targets;
  for (const std::string& target : asked) {
    if (target.find(':') != std::string::npos) {
      targets.push_back(target);
      continue;
    }
    const std::size_t before = targets.size();
    for (const std::string& s : stored) {
      if (s.starts_with(target + ":")) targets.push_back(s);
    }
    if (targets.size() == before) targets.push_back(target);  // matches nothing
  }
  return targets;
}

}  // namespace store
