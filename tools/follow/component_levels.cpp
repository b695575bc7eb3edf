// tools/follow/component_levels.cpp
//
// Asking for, retrying and caching the level descriptions of components.
//
// Threads: single-threaded; see component_levels.h.
#include "follow/component_levels.h"

#include "base/note.h"
#include "wire/wire_format.h"

namespace remote {

const Levels* ComponentLevels::lookup(const Endpoint& target, const codec::Uuid& uuid,
                                      std::string_view component) {
  if (const auto known = entries.find(Name{uuid, component}); known != entries.end()) {
    return known->second.state == Entry::State::kPending ? nullptr : &known->second.levels;
  }
  Key key{uuid, std::string(component)};
  Entry& entry = entries[key];
  entry.target = target;
  if (key.second.size() > wire::kMaxRequestNameLength) {
    entry.state = Entry::State::kUnavailable;  // the target ignores such a GLVD
    return &entry.levels;
  }
  entry.attemptsLeft = retry.retries;
  send(key.second, entry);
  return nullptr;
}

void ComponentLevels::onDatagram(codec::Datagram& datagram) {
  auto* levels = std::get_if<codec::LevelDescriptions>(&datagram);
  if (levels == nullptr) return;
  auto it = entries.find({levels->uuid, levels->name});
  if (it != entries.end() && it->second.state == Entry::State::kPending &&
      it->second.requestId == levels->requestId) {
    it->second.levels = std::move(levels->levels);
    it->second.state = Entry::State::kKnown;
  }
}

const Levels* ComponentLevels::levelsFor(const codec::Uuid& uuid,
                                         std::string_view component) const {
  const auto it = entries.find(Name{uuid, component});
  if (it != entries.end() && it->second.state == Entry::State::kPending) return nullptr;
  return &levelsOrNone(uuid, component);
}

const Levels& ComponentLevels::levelsOrNone(const codec::Uuid& uuid,
                                            std::string_view component) const {
  static const Levels kNone;
  const auto it = entries.find(Name{uuid, component});
  return it == entries.end() ? kNone : it->second.levels;
}

void ComponentLevels::send(const std::string& component, Entry& entry) {
  entry.requestId = session.nextRequestId();
  entry.deadline = Clock::now() + retry.timeout;
  session.send(entry.target, codec::buildGetLevelDescriptionsRequest(entry.requestId, component));
}

Clock::time_point ComponentLevels::nextDeadline(Clock::time_point next) const {
  for (const auto& [key, entry] : entries) {
    if (entry.state == Entry::State::kPending && entry.deadline < next) next = entry.deadline;
  }
  return next;
}

void ComponentLevels::onTimers(Clock::time_point now) {
  for (auto& [key, entry] : entries) {
    if (entry.state != Entry::State::kPending || now < entry.deadline) continue;
    if (entry.attemptsLeft-- > 0) {
      send(key.second, entry);
    } else {
      note("warning: no level descriptions for component '" + key.second + "' of " +
           entry.target.text() + "; showing client levels");
      entry.state = Entry::State::kUnavailable;
    }
  }
}

}  // namespace remote
