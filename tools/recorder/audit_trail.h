// tools/recorder/audit_trail.h
//
// Where the tools write down the level changes they make: set-level and
// enforce open the store as an audit writer (store::Access::kAudit) beside
// whatever recorder holds it, on their first change; record and the web
// console write through the store they already hold. A row that cannot be
// written is said on stderr as a warning that names the change, so no
// change goes missing from the trail unsaid; the change itself stands.
//
// Threads: an AuditTrail belongs to the thread that owns its store.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "model/levels.h"
#include "store/store.h"

namespace remote {

// The row for one change of `component`'s mask on `target`, at now, with
// both masks named by the component's levels.
store::AuditRow auditRow(const std::string& target, const std::string& application,
                         const std::string& component, std::uint32_t before, std::uint32_t after,
                         const Levels& levels, const std::string& by, const std::string& why);

// Who runs this tool: the login name of its user, else $USER, else "uid N".
std::string localUser();

class AuditTrail {
 public:
  // Opens the store at `location` on the first write. With `unavailable`,
  // there is no store: every write says that message instead.
  explicit AuditTrail(std::string location, std::string unavailable = "");
  // Writes through `store`, which outlives the trail.
  explicit AuditTrail(store::Store& store);
  ~AuditTrail();
  AuditTrail(AuditTrail&&) noexcept;

  // Appends the row, or says why it could not on stderr; false then.
  bool write(const store::AuditRow& row);
  std::int64_t failed() const { return failures; }

 private:
  std::string location;
  std::string unavailable;
  std::unique_ptr<store::Store> opened;
  store::Store* store = nullptr;
  std::int64_t failures = 0;
};

}  // namespace remote
