// tools/store/store.cpp
//
// Opening a store by its name, and what every engine's users share.
//
// Threads: see store.h.
#include "store/store.h"

#include "store/sqlite_store.h"

namespace store {

std::unique_ptr<Store> openStore(const std::string& location, Access access) {
  return std::make_unique<SqliteStore>(location, access);
}

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
