// tools/web/web_board.h
//
// What the web console's follower thread knows and its HTTP threads show:
// each followed target (address, uuid, application, state, records per
// second, records lost), the components it has shown with their masks,
// the id of the newest entry committed to the record store, and a count of
// the rows this console wrote to the audit trail. Streams wait here for
// any of them to move.
//
// Threads: the follower thread writes (publish(), committed(), stop()),
// the level control's callers audited(); any HTTP thread reads
// (snapshot(), endpointOf(), waitForChange()). Everything is behind one
// mutex, held only to copy.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "model/endpoint.h"

namespace web {

struct TargetState {
  std::string label;  // "127.0.0.1:57008"
  remote::Endpoint endpoint;
  std::string uuid;  // hex; empty until the target answered
  std::string application;
  std::string state;  // "following", "not answering", "gone"; a viewer's: "recorded"
  double recordsPerSecond = 0;
  std::int64_t records = 0, lost = 0, gaps = 0;
  std::int64_t lastRecordMs = 0;  // a viewer's: the newest record stored, epoch ms; 0 else
  std::map<std::string, std::optional<std::uint32_t>> components;  // mask when reported
};

class WebBoard {
 public:
  // Follower thread.
  void publish(std::vector<TargetState> targets);
  void committed(std::int64_t lastId);
  void stop();
  // A row went to the audit trail (any thread that writes one).
  void audited();
  // What the alert rules say now ({"firing": [...], "recent": [...]}).
  void publishAlerts(std::string json);

  // HTTP threads.
  std::vector<TargetState> snapshot() const;
  std::optional<TargetState> find(const std::string& label) const;
  std::string alerts() const;
  struct Mark {
    std::int64_t lastId = 0;
    std::int64_t targetsVersion = 0;
    std::int64_t auditVersion = 0;
    bool stopping = false;
  };
  Mark mark() const;
  // Until the store, the targets or the audit trail move past `seen`, a
  // stop, or `deadline`.
  Mark waitForChange(const Mark& seen, std::chrono::steady_clock::time_point deadline) const;

 private:
  mutable Mutex mutex;
  mutable CondVar changed;
  std::vector<TargetState> targets GUARDED_BY(mutex);
  Mark now GUARDED_BY(mutex);
  std::string alertsJson GUARDED_BY(mutex) = R"({"firing":[],"recent":[]})";
};

}  // namespace web
