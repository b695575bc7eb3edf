// tools/recorder/alert_feed.h
//
// Alert rules run by a recorder (`record --alerts FILE --notify DEST`):
// every record and gap as it goes to the store, with its level names,
// goes through each rule's selector (the same RecordFilter and RecordMatch
// that tail's --component, --min-level, --grep and --exclude use, so a rule
// picks what tail with those options shows; a `match` means what `query
// --match` means, text_query.h) into the alert engine; once a second the engine is
// asked what fires and resolves, which is said on stderr and handed to
// the notifier. A target's first record of a new instance is a restart; a
// discovered target that stopped answering is gone; gaps and the kernel's
// drops are records lost; a console's temporary change that its target
// did not take back is a level not restored.
//
// Threads: the follower's thread; the notifier sends on its own threads.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "alerts/alert_engine.h"
#include "alerts/literal_scan.h"
#include "alerts/notifier.h"
#include "follow/follow.h"
#include "model/record_filter.h"
#include "model/text_query.h"
#include "recorder/store_feed.h"

namespace CLI {
class App;
}

namespace remote {

struct AlertFlags {
  std::string rules;                // --alerts FILE
  std::vector<std::string> notify;  // --notify DEST
  bool any() const { return !rules.empty(); }
};

// --alerts and --notify.
void addAlertOptions(CLI::App& command, AlertFlags& flags);

class AlertFeed : public StoredEntryObserver {
 public:
  // Throws ToolError (usage) for a rule file with mistakes, each named at
  // its line, or a --notify that names no destination.
  explicit AlertFeed(const AlertFlags& flags);
  ~AlertFeed() override;

  void onStoredRecord(const store::StoredRecord& record, const Levels& levels) override;
  void onStoredGap(const store::StoredGap& gap) override;
  void onConfirmed(const FollowedTarget& target);
  void onTargetDropped(const FollowedTarget& target);
  // The kernel's count of datagrams it dropped so far.
  void onKernelDrops(std::int64_t total);
  // A temporary level change the target did not take back.
  void onLevelNotRestored(const std::string& target, const std::string& application,
                          const std::string& component);

  Clock::time_point nextDeadline(Clock::time_point next) const;
  void onTimers(Clock::time_point now);
  // At the end: a last evaluation, then up to a few seconds for the
  // notifications still queued.
  void finish();

  std::vector<alerts::Alert> firing() const { return engine.firing(); }
  // The last kRecent changes, oldest first, and a count that moves with
  // each change.
  static constexpr std::size_t kRecent = 50;
  const std::deque<alerts::Transition>& recent() const { return recentChanges; }
  std::uint64_t changes() const { return changeCount; }
  // {"firing": [...], "recent": [...]}, each alert as a webhook gets it.
  std::string json() const;
  // "2 alerts fired, 3 notifications sent": for the recorder's summary.
  std::string summary() const;
  // Notifications that never reached their destination.
  std::uint64_t dropped() const { return notifier.stats().dropped; }
  alerts::NotifierStats notifications() const { return notifier.stats(); }

 private:
  void evaluate(alerts::Time now);

  alerts::Engine engine;
  // What a rule that looks at records selects them by, cheapest first:
  // targets and components (known once per target and component), then
  // min_level (by the record's level alone, once the target's level names
  // settled it), grep, exclude, and the full-text query.
  struct Selector {
    std::size_t rule = 0;
    std::unique_ptr<RecordFilter> levels;  // min_level; null without
    std::unique_ptr<RecordMatch> grep;     // null without grep
    // The grep's required literals in `literals` (mask 0: none, or no
    // room), and whether they alone decide it.
    alerts::LiteralScan::Pattern required;
    std::unique_ptr<RecordMatch> exclude;  // null without exclude
    std::unique_ptr<TextQuery> text;       // null without match
    bool narrowed = false;  // its grep is in anyGrep: it looks only at the fields anyGrep matched
  };
  std::vector<Selector> selectors;
  // What records of one target and component go through: the selectors
  // whose `targets` and `components` take them, each with its min_level as
  // a client level once the target instance's level names settled it, and
  // the engine's instance once it picked a record; and the file and
  // function last scanned for literals, which most records repeat.
  struct Route {
    static constexpr int kUnsettled = -2;
    struct Step {
      std::size_t selector = 0;
      int minimum = kUnsettled;  // -1: any level
      alerts::Engine::Instance* instance = nullptr;
    };
    std::vector<Step> steps;
    codec::Uuid levelsOf{};  // the target instance whose level names settled the minimums
    std::string file, function;
    alerts::LiteralScan::Hits fileHits = 0, functionHits = 0;
    bool scanned = false;  // file and function are scanned
  };
  struct Watching {
    std::string application;
    std::optional<codec::Uuid> instance;  // the last record's: a new one is a restart
    std::unordered_map<std::string, Route> byComponent;
  };
  Watching& watchingFor(const std::string& target, const std::string& application);
  Route& routeFor(Watching& watched, const std::string& target, const std::string& application,
                  const std::string& component);
  std::map<std::string, Watching, std::less<>> watching;
  // The last record's target, which most records repeat.
  std::pair<const std::string, Watching>* lastWatched = nullptr;
  // Every required literal of every grep, looked for in one pass a field.
  alerts::LiteralScan literals;
  // Every case-sensitive grep without required literals in one
  // alternation: most records match none, and one regexec() per field
  // then spares the rules' own; a field it does not match, no rule's grep
  // matches either.
  struct AnyGrep;
  std::unique_ptr<AnyGrep> anyGrep;
  // The record at hand's words, split once for every rule with a `match`
  // (reusing its buffers from record to record).
  TokenizedRecord words;
  std::vector<bool> off;  // a rule whose min_level no target names
  alerts::Notifier notifier;
  std::int64_t kernelDrops = 0;
  std::uint64_t fired = 0;
  std::deque<alerts::Transition> recentChanges;
  std::uint64_t changeCount = 0;
  Clock::time_point nextEvaluation;
};

}  // namespace remote
