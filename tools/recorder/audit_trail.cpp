// tools/recorder/audit_trail.cpp
//
// Writing audit rows, and saying each one that could not be written. See
// audit_trail.h.
//
// Threads: see audit_trail.h.
#include "recorder/audit_trail.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "base/note.h"

namespace remote {
namespace {

std::string names(std::uint32_t mask, const Levels& levels) {
  std::string text;
  for (const std::string& name : levelNamesInMask(mask, levels))
    text += (text.empty() ? "" : ",") + name;
  return text;
}

}  // namespace

store::AuditRow auditRow(const std::string& target, const std::string& application,
                         const std::string& component, std::uint32_t before, std::uint32_t after,
                         const Levels& levels, const std::string& by, const std::string& why) {
  store::AuditRow row;
  row.at = SystemClock::now();
  row.target = target;
  row.application = application;
  row.component = component;
  row.maskBefore = before;
  row.maskAfter = after;
  row.levelsBefore = names(before, levels);
  row.levelsAfter = names(after, levels);
  row.by = by;
  row.why = why;
  return row;
}

std::string localUser() {
  if (const passwd* user = ::getpwuid(::geteuid()); user != nullptr && user->pw_name != nullptr)
    return user->pw_name;
  if (const char* name = std::getenv("USER"); name != nullptr && *name != '\0') return name;
  return "uid " + std::to_string(::geteuid());
}

AuditTrail::AuditTrail(std::string location, std::string unavailable)
    : location(std::move(location)), unavailable(std::move(unavailable)) {}

AuditTrail::AuditTrail(store::Store& store) : store(&store) {}

AuditTrail::~AuditTrail() = default;
AuditTrail::AuditTrail(AuditTrail&&) noexcept = default;

bool AuditTrail::write(const store::AuditRow& row) {
  try {
    if (!unavailable.empty())
      throw store::StoreError(store::StoreError::Kind::kCannotOpen, unavailable);
    if (store == nullptr) {
      opened = store::openStore(location, store::Access::kAudit);
      store = opened.get();
    }
    store->appendAudit(row);
    return true;
  } catch (const store::StoreError& error) {
    ++failures;
    note("warning: not in the audit trail (" + std::string(error.what()) + "): " + row.target +
         " " + row.component + " " + maskHex(row.maskBefore) + " -> " + maskHex(row.maskAfter) +
         " (" + row.why + ")");
    return false;
  }
}

}  // namespace remote
