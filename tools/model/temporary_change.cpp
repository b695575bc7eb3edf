// tools/model/temporary_change.cpp
//
// Starting, releasing and ending overlapping temporary changes, bit by bit,
// and their lines in the state file.
//
// Threads: pure functions; see temporary_change.h.
#include "model/temporary_change.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include "model/levels.h"

namespace remote {
namespace {

// The running change of the same component that holds `bit` and began
// last: its value is the one in force.
const TemporaryChange* lastHolder(const std::vector<TemporaryChange>& running,
                                  const TemporaryChange& of, std::uint32_t bit) {
  const TemporaryChange* holder = nullptr;
  for (const TemporaryChange& r : running) {
    if (r.sameComponent(of) && r.id != of.id && (r.claimed & bit) != 0) holder = &r;
  }
  return holder;
}

std::uint32_t withBit(std::uint32_t mask, std::uint32_t bit, std::uint32_t from) {
  return (mask & ~bit) | (from & bit);
}

}  // namespace

std::uint32_t bitsNamed(std::uint32_t fromZero, std::uint32_t fromOnes) {
  return ~(fromZero ^ fromOnes);
}

TemporaryChange startTemporaryChange(const std::vector<TemporaryChange>& running,
                                     TemporaryChange change, std::uint32_t before,
                                     std::uint32_t wanted, std::uint32_t named) {
  change.claimed = named;
  change.value = wanted & named;
  change.restore = before & named;
  change.released = 0;
  for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((named & bit) == 0) continue;
    // Every holder of a bit keeps the same value to put back: the one from
    // before the first of them.
    if (const TemporaryChange* holder = lastHolder(running, change, bit)) {
      change.restore = withBit(change.restore, bit, holder->restore);
    }
  }
  return change;
}

void takeOver(TemporaryChange& later, const TemporaryChange& earlier) {
  const std::uint32_t kept = earlier.claimed & ~later.claimed;
  later.claimed |= kept;
  later.value = withBit(later.value, kept, earlier.value);
  later.restore = withBit(later.restore, kept, earlier.restore);
  later.released |= earlier.released & ~later.claimed;
}

void releaseBits(std::vector<TemporaryChange>& running, const TemporaryChange& key,
                 std::uint32_t named) {
  for (TemporaryChange& r : running) {
    if (!r.sameComponent(key)) continue;
    r.released |= r.claimed & named & (r.value ^ r.restore);
    r.claimed &= ~named;
  }
}

Restore planRestore(const std::vector<TemporaryChange>& others, const TemporaryChange& ending,
                    std::uint32_t current) {
  Restore result;
  result.mask = current;
  const std::uint32_t moved = ending.value ^ ending.restore;
  for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
    if ((ending.claimed & bit) == 0) continue;
    const bool untouched = ((current ^ ending.value) & bit) == 0;
    if (const TemporaryChange* holder = lastHolder(others, ending, bit)) {
      // Still wanted by a change that runs on: its value, unless someone
      // has changed the bit since, which that change will find at its end.
      if (untouched) result.mask = withBit(result.mask, bit, holder->value);
      if ((moved & bit) != 0) {
        result.heldByOthers |= bit;
        for (const TemporaryChange& r : others) {
          if (r.sameComponent(ending) && (r.claimed & bit) != 0)
            result.heldUntil = std::max(result.heldUntil.value_or(0), r.until);
        }
      }
    } else if (untouched) {
      result.mask = withBit(result.mask, bit, ending.restore);
    } else {
      result.changedSince |= moved & bit;
    }
  }
  result.changedSince |= ending.released;
  return result;
}

std::vector<std::string> leftAlone(const Restore& restore,
                                   const std::vector<codec::LevelDescription>& levels) {
  std::vector<std::string> texts;
  const auto names = [&](std::uint32_t bits) {
    std::string joined;
    for (const std::string& name : levelNamesInMask(bits, levels))
      joined += (joined.empty() ? "" : ", ") + name;
    return joined;
  };
  if (restore.heldByOthers != 0) {
    const std::time_t at = restore.heldUntil.value_or(0);
    std::tm local{};
    char clock[16] = "";
    ::localtime_r(&at, &local);
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    texts.push_back("not restored: " + names(restore.heldByOthers) +
                    ", held by another temporary change until " + clock);
  }
  if (restore.changedSince != 0) {
    texts.push_back("not restored: " + names(restore.changedSince) +
                    ", changed since by someone else");
  }
  return texts;
}

std::string temporaryChangeLine(const TemporaryChange& c) {
  return c.id + " " + c.uuid + " " + maskHex(c.claimed) + " " + maskHex(c.value) + " " +
         maskHex(c.restore) + " " + maskHex(c.released) + " " + std::to_string(c.until) + " " +
         c.component;
}

std::optional<TemporaryChange> parseTemporaryChange(const std::string& line) {
  TemporaryChange c;
  std::istringstream fields(line);
  std::string masks[4];
  if (!(fields >> c.id >> c.uuid >> masks[0] >> masks[1] >> masks[2] >> masks[3] >> c.until) ||
      !std::getline(fields >> std::ws, c.component) || c.component.empty()) {
    return std::nullopt;
  }
  std::uint32_t* const into[4] = {&c.claimed, &c.value, &c.restore, &c.released};
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    *into[i] = static_cast<std::uint32_t>(std::strtoul(masks[i].c_str(), &end, 16));
    if (end == masks[i].c_str() || *end != '\0') return std::nullopt;
  }
  return c;
}

}  // namespace remote
