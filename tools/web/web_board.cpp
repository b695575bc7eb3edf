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
    std::lock_guard lock(mutex);
    targets = std::move(fresh);
    ++now.targetsVersion;
  }
  changed.notify_all();
}

void WebBoard::committed(std::int64_t lastId) {
  {
    std::lock_guard lock(mutex);
    if (lastId <= now.lastId) return;
    now.lastId = lastId;
  }
  changed.notify_all();
}

void WebBoard::stop() {
  {
    std::lock_guard lock(mutex);
    now.stopping = true;
  }
  changed.notify_all();
}

std::vector<TargetState> WebBoard::snapshot() const {
  std::lock_guard lock(mutex);
  return targets;
}

std::optional<TargetState> WebBoard::find(const std::string& label) const {
  std::lock_guard lock(mutex);
  auto it = std::find_if(targets.begin(), targets.end(),
                         [&](const TargetState& t) { return t.label == label; });
  if (it == targets.end()) return std::nullopt;
  return *it;
}

WebBoard::Mark WebBoard::mark() const {
  std::lock_guard lock(mutex);
  return now;
}

WebBoard::Mark WebBoard::waitForChange(const Mark& seen,
                                       std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock lock(mutex);
  changed.wait_until(lock, deadline, [&] {
    return now.stopping || now.lastId != seen.lastId || now.targetsVersion != seen.targetsVersion;
  });
  return now;
}

void WebBoard::publishAlerts(std::string json) {
  std::lock_guard lock(mutex);
  alertsJson = std::move(json);
}

std::string WebBoard::alerts() const {
  std::lock_guard lock(mutex);
  return alertsJson;
}

}  // namespace web
