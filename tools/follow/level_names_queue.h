// tools/follow/level_names_queue.h
//
// Records that wait for their component's level names, in order of
// arrival. A command that shows, forwards or keeps records by level name
// asks for a component's level descriptions the first time it shows up
// (component_levels.h); until the answer comes, that record and every
// record after it wait here, so nothing goes out of order or without the
// names it should carry. tail, forward and record each hold one; what
// they do with a record once it may go is theirs.
//
// An item is whatever the command keeps per record (an ArrivedRecord, a
// message with its origin, a store entry). `recordOf` says which record
// an item carries, or nullptr for an item with no names to wait for (a
// gap), which goes as soon as it is the oldest.
//
// Threads: the follower's thread only.
#pragma once

#include <cstddef>
#include <deque>
#include <limits>
#include <utility>

#include "follow/component_levels.h"

namespace remote {

template <typename Item>
class LevelNamesQueue {
 public:
  using RecordOf = const codec::LogRecord* (*)(const Item&);

  // With more than `bound` items waiting, the oldest goes without its
  // names (shown by client level number) rather than waiting out the
  // retries of its request.
  LevelNamesQueue(const ComponentLevels& levels, RecordOf recordOf,
                  std::size_t bound = std::numeric_limits<std::size_t>::max())
      : levels(levels), recordOf(recordOf), bound(bound) {}

  bool empty() const { return items.empty(); }
  std::size_t size() const { return items.size(); }
  const std::deque<Item>& waiting() const { return items; }

  void push(Item item) { items.push_back(std::move(item)); }
  // Puts `item` before the first waiting item `before` holds for, or last.
  template <typename Before>
  void insertBefore(Before before, Item item) {
    auto at = items.begin();
    while (at != items.end() && !before(*at)) ++at;
    items.insert(at, std::move(item));
  }

  // Whether the oldest item may go now.
  bool headReady() const {
    if (items.empty()) return false;
    const codec::LogRecord* record = recordOf(items.front());
    return record == nullptr || items.size() > bound ||
           levels.levelsFor(record->uuid, record->component()) != nullptr;
  }

  // Hands the items that may go, oldest first, to take(item, levels) (all
  // of them when `final`, with the names known or none), until take()
  // returns false, which leaves that item the oldest. take() may move
  // from the item it accepts.
  template <typename Take>
  void release(bool final, Take&& take) {
    static const Levels kNoLevels;
    while (!items.empty() && (final || headReady())) {
      Item& head = items.front();
      const codec::LogRecord* record = recordOf(head);
      const Levels& named =
          record ? levels.levelsOrNone(record->uuid, record->component()) : kNoLevels;
      if (!take(head, named)) return;
      items.pop_front();
    }
  }

 private:
  const ComponentLevels& levels;
  RecordOf recordOf;
  std::size_t bound;
  std::deque<Item> items;
};

}  // namespace remote
