// tools/web/web_follower.h
//
// The web console's follower: follows targets as `record` does, writes
// every record and gap into the record store (with level names from the
// components' level descriptions), and keeps the WebBoard up to date: the
// newest committed id after every batch, and once a second each target's
// state, rate, losses and the components it has shown.
//
// Threads: runs on the main thread (Follower::run()); the store is written
// by its StoreWriter's thread only. It touches the board through its own
// locking calls only. levelNotRestored() may be called from any thread: it
// queues the event for the follower's thread, which hands it to the alert
// rules at its next timers, or in finishAlerts() once the follow is over.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "follow/follow.h"
#include "recorder/alert_feed.h"
#include "recorder/store_feed.h"
#include "web/web_board.h"

namespace web {

class WebFollower : public remote::FollowHandler {
 public:
  // `alerts` (optional) runs alert rules on every record stored.
  WebFollower(const remote::RetryPolicy& retry, const remote::FollowOptions& options,
              store::Store& store, const store::Retention& retention, WebBoard& board,
              const remote::AlertFlags& alerts);

  // Notifications that never reached their destination.
  std::uint64_t undeliveredAlerts() const { return alerts ? alerts->dropped() : 0; }
  // A temporary level change of this target's component that was not put
  // back: for the alert rules (any thread; nothing without --alerts).
  void levelNotRestored(const std::string& target, const std::string& component)
      EXCLUDES(notRestoredMutex);

  // Until a stop signal or --duration; then writes what is left. Returns
  // the losses: records lost on the way (gaps), records the store refused
  // and datagrams our kernel dropped.
  std::int64_t run();
  // After run() and the console's last restores: hands the rules the
  // restores that failed at exit, evaluates them a last time and waits a
  // few seconds for the notifications still queued.
  void finishAlerts();

 private:
  void onRecord(remote::FollowedTarget& target, codec::LogRecord&& record,
                remote::SystemClock::time_point at) override;
  void onLost(remote::FollowedTarget& target, const remote::SequenceGap& gap) override;
  void onTargetAdded(remote::FollowedTarget& target) override;
  void onTargetDropped(remote::FollowedTarget& target) override;
  void onConfirmed(remote::FollowedTarget& target) override;
  void onOtherDatagram(remote::FollowedTarget& target, remote::Received&& r) override;
  remote::Clock::time_point nextDeadline(remote::Clock::time_point next) override;
  void onTimers(remote::Clock::time_point now) override;
  void onBatchEnd() override;
  bool done() const override { return feed.failed(); }

  void publish(remote::Clock::time_point now);
  // The queued levelNotRestored() events, to the alert rules.
  void feedNotRestored() EXCLUDES(notRestoredMutex);

  struct Seen {
    remote::FollowedTarget* live = nullptr;  // until the Follower drops it
    remote::Endpoint endpoint;
    std::string uuid, application;
    std::int64_t records = 0, lost = 0, gaps = 0;
    std::int64_t recordsAtLastPublish = 0;
    double rate = 0;
    std::map<std::string, std::optional<std::uint32_t>> components;
  };

  remote::Follower follower;
  remote::StoreFeed feed;
  std::optional<remote::AlertFeed> alerts;  // with --alerts
  std::uint64_t alertChanges = 0;           // published so far
  Mutex notRestoredMutex;
  // Target label and component, oldest first.
  std::vector<std::pair<std::string, std::string>> notRestored GUARDED_BY(notRestoredMutex);
  WebBoard& board;
  std::map<std::string, Seen> seen;  // by label
  std::int64_t lastCommitted = 0;
  remote::Clock::time_point nextPublish;
  remote::Clock::time_point lastPublish;
};

}  // namespace web
