// tools/web/web_board.cpp
//
// The shared board of targets and the store's newest id.
//
// Threads: see web_board.h; one mutex, a condition variable for streams.
#include "web/web_board.h"

#include <algorithm>

namespace web {

void WebBoard::publish(std::vector<TargetState> fresh) {
  {
    MutexLock lock(mutex);
    targets = std::move(fresh);
    ++now.targetsVersion;
  }
  changed.notifyAll();
}

void WebBoard::committed(std::int64_t lastId) {
  {
    MutexLock lock(mutex);
    if (lastId <= now.lastId) return;
    now.lastId = lastId;
  }
  changed.notifyAll();
}

void WebBoard::audited() {
  {
    MutexLock lock(mutex);
    ++now.auditVersion;
  }
  changed.notifyAll();
}

void WebBoard::stop() {
  {
    MutexLock lock(mutex);
    now.stopping = true;
  }
  changed.notifyAll();
}

std::vector<TargetState> WebBoard::snapshot() const {
  MutexLock lock(mutex);
  return targets;
}

std::optional<TargetState> WebBoard::find(const std::string& label) const {
  MutexLock lock(mutex);
  auto it = std::find_if(targets.begin(), targets.end(),
                         [&](const TargetState& t) { return t.label == label; });
  if (it == targets.end()) return std::nullopt;
  return *it;
}

WebBoard::Mark WebBoard::mark() const {
  MutexLock lock(mutex);
  return now;
}

WebBoard::Mark WebBoard::waitForChange(const Mark& seen,
                                       std::chrono::steady_clock::time_point deadline) const {
  MutexLock lock(mutex);
  while (!now.stopping && now.lastId == seen.lastId && now.targetsVersion == seen.targetsVersion &&
         now.auditVersion == seen.auditVersion) {
    if (!changed.waitUntil(mutex, deadline)) break;
  }
  return now;
}

void WebBoard::publishAlerts(std::string json) {
  MutexLock lock(mutex);
  alertsJson = std::move(json);
}

std::string WebBoard::alerts() const {
  MutexLock lock(mutex);
  return alertsJson;
}

}  // namespace web
