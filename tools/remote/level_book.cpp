// tools/remote/level_book.cpp
//
// GLVD requests of a follower, matched to their answers by request id.
//
// Threads: see level_book.h.
#include "remote/level_book.h"

#include "protocol/wire_format.h"
#include "remote/note.h"

namespace remote {

void LevelBook::want(Session& session, const Endpoint& target, const codec::Uuid& uuid,
                     const std::string& component) {
  const auto [it, fresh] = entries.try_emplace(Key{uuid, component});
  if (!fresh) return;
  Entry& entry = it->second;
  entry.target = target;
  if (component.size() > wire::kMaxRequestNameLength) {
    entry.state = Entry::State::kUnavailable;  // the target ignores such a GLVD
    return;
  }
  entry.attemptsLeft = retry.retries;
  send(session, component, entry);
}

bool LevelBook::pending(const codec::Uuid& uuid, const std::string& component) const {
  const auto it = entries.find(Key{uuid, component});
  return it != entries.end() && it->second.state == Entry::State::kPending;
}

const Levels& LevelBook::levels(const codec::Uuid& uuid, const std::string& component) const {
  static const Levels kNone;
  const auto it = entries.find(Key{uuid, component});
  return it == entries.end() ? kNone : it->second.levels;
}

bool LevelBook::take(codec::LevelDescriptions&& answer) {
  const auto it = entries.find(Key{answer.uuid, answer.name});
  if (it == entries.end() || it->second.state != Entry::State::kPending ||
      it->second.requestId != answer.requestId) {
    return false;
  }
  it->second.levels = std::move(answer.levels);
  it->second.state = Entry::State::kKnown;
  return true;
}

Clock::time_point LevelBook::nextDeadline(Clock::time_point next) const {
  for (const auto& [key, entry] : entries) {
    if (entry.state == Entry::State::kPending && entry.deadline < next) next = entry.deadline;
  }
  return next;
}

void LevelBook::onTimers(Session& session, Clock::time_point now) {
  for (auto& [key, entry] : entries) {
    if (entry.state != Entry::State::kPending || now < entry.deadline) continue;
    if (entry.attemptsLeft-- > 0) {
      send(session, key.second, entry);
    } else {
      note("warning: no level descriptions for component '" + key.second + "' of " +
           entry.target.text() + "; showing client levels");
      entry.state = Entry::State::kUnavailable;
    }
  }
}

void LevelBook::send(Session& session, const std::string& component, Entry& entry) {
  entry.requestId = session.nextRequestId();
  entry.deadline = Clock::now() + retry.timeout;
  session.send(entry.target, codec::buildGetLevelDescriptionsRequest(entry.requestId, component));
}

}  // namespace remote
