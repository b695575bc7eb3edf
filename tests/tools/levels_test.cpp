// tests/tools/levels_test.cpp
//
// tarvin-remote's level handling without a network: the LEVELS argument of
// set-level turned into client masks (absolute lists, +/- changes, hex
// masks, and the mistakes a user makes), level names given to masks and
// to single records, and temporary changes that overlap.
//
// Threads: single-threaded gtest cases.
#include "model/levels.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "model/temporary_change.h"

namespace {

const remote::Levels kLevels = {
    {31, "error"}, {30, "warning"}, {29, "info"}, {28, "debug"}, {27, "trace"}};

}  // namespace

TEST(LevelChange, GivesTheClientMaskOrNamesTheMistake) {
  static const struct {
    const char* levels;
    std::uint32_t current;
    std::uint32_t expected;
  } kGood[] = {
      {"0xF0000000", 0x00000000, 0xF0000000},
      {" ERROR , 28 ", 0x0F000000, 0x90000000},  // a list replaces the mask; numbers are levels
      {"-info,+trace", 0xE0000000, 0xC8000000},
      {"+error", 0x80000000, 0x80000000},  // adding what is set keeps it
  };
  for (const auto& c : kGood) {
    const auto mask = remote::parseLevelChange(c.levels, c.current, kLevels);
    ASSERT_TRUE(mask) << c.levels << ": " << mask.error();
    EXPECT_EQ(*mask, c.expected) << c.levels;
  }
  static const struct {
    const char* levels;
    const char* expectedError;
  } kBad[] = {
      {"0x100000000", "'0x100000000' is not a 32-bit hex mask"},
      {"nope", "no level 'nope' (known: error, warning, info, debug, trace)"},
      {"32", "no level '32'"},
      {"error,,info", "empty item in level list"},
      {"error,+debug", "mix of absolute and +/- items ('+debug')"},
  };
  for (const auto& c : kBad) {
    const auto mask = remote::parseLevelChange(c.levels, 0, kLevels);
    ASSERT_FALSE(mask) << c.levels;
    EXPECT_EQ(mask.error().rfind(c.expectedError, 0), 0u) << mask.error();
  }
}

TEST(LevelNames, OfRecordsAndMasks) {
  // Numeric levels 5 and 6 share client level 29, so a record at 29 is both.
  const remote::Levels shared = {{31, "error"}, {29, "info"}, {29, "notice"}};
  EXPECT_EQ(remote::recordLevelName(0x00000010, kLevels), "level 4");
  EXPECT_EQ(remote::recordLevelName(0x20000000, shared), "info/notice");
  EXPECT_EQ(remote::recordLevelName(0x30000000, kLevels), "0x30000000");  // not one bit
  EXPECT_EQ(remote::levelNamesInMask(0xE0000010, kLevels),
            (std::vector<std::string>{"error", "warning", "info", "level 4"}));
}

// Temporary changes of one component that overlap, as several set-level
// --for runs (or the web console's timers) make them, with changes for
// good and changes by others in between. Each row is a sequence of steps
// from 0xE0000000 (error, warning, info); after each step the component
// holds `mask`, and an end reports the bits it left.
TEST(TemporaryChanges, EndWithNoLevelLeftThatNobodyKeeps) {
  struct Step {
    char op;  // 's' start a temporary change, 't' start one that takes over the
              // oldest running one, 'e' end one, 'p' a change for good, 'x' a change
              // by someone unknown (levels is a hex mask)
    const char* id;
    const char* levels;
    std::uint32_t mask;
    std::uint32_t held = 0;     // an end: bits it left to another running change
    std::uint32_t changed = 0;  // an end: bits it left as someone else set them
  };
  static const struct {
    const char* name;
    std::vector<Step> steps;
  } kCases[] = {
      {"each undoes only its own",
       {{'s', "A", "+debug", 0xF0000000},
        {'s', "B", "+trace", 0xF8000000},
        {'e', "A", "", 0xE8000000},
        {'e', "B", "", 0xE0000000}}},
      {"ended the other way round",
       {{'s', "A", "+debug", 0xF0000000},
        {'s', "B", "+trace", 0xF8000000},
        {'e', "B", "", 0xF0000000},
        {'e', "A", "", 0xE0000000}}},
      {"the same level twice: on until the last ends",
       {{'s', "A", "+debug", 0xF0000000},
        {'s', "B", "+debug", 0xF0000000},
        {'e', "A", "", 0xF0000000, 0x10000000},
        {'e', "B", "", 0xE0000000}}},
      {"a later change turns it off, then the earlier one ends",
       {{'s', "A", "+debug", 0xF0000000},
        {'s', "B", "-debug", 0xE0000000},
        {'e', "A", "", 0xE0000000, 0x10000000},
        {'e', "B", "", 0xE0000000}}},
      {"the later one ends first: the earlier one's value is back",
       {{'s', "A", "+debug", 0xF0000000},
        {'s', "B", "-debug", 0xE0000000},
        {'e', "B", "", 0xF0000000},
        {'e', "A", "", 0xE0000000}}},
      {"a list speaks for every level; +debug on top of it",
       {{'s', "A", "error,trace", 0x88000000},
        {'s', "B", "+debug", 0x98000000},
        {'e', "A", "", 0xF0000000},  // debug stays with B; A had not moved it
        {'e', "B", "", 0xE0000000}}},
      {"a second change of the console takes the first over",
       {{'s', "A", "+debug", 0xF0000000},
        {'s', "C", "+info", 0xF0000000},
        {'t', "B", "+trace,-info", 0xD8000000},
        {'e', "C", "", 0xD8000000},
        {'e', "B", "", 0xE0000000}}},
      {"kept for good meanwhile: left on",
       {{'s', "A", "+debug", 0xF0000000},
        {'p', "", "+debug", 0xF0000000},
        {'e', "A", "", 0xF0000000, 0, 0x10000000}}},
      {"changed meanwhile by someone unknown: left as they set it",
       {{'s', "A", "+debug,+trace", 0xF8000000},
        {'x', "", "0xE8000000", 0xE8000000},
        {'e', "A", "", 0xE0000000, 0, 0x10000000}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::uint32_t mask = 0xE0000000;
    std::vector<remote::TemporaryChange> running;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(std::string(1, step.op) + " " + step.id + " " + step.levels);
      remote::TemporaryChange key{step.id, "u1", "net"};
      if (step.op == 'x') {
        mask = static_cast<std::uint32_t>(std::stoul(step.levels, nullptr, 16));
      } else if (step.op == 'e') {
        const auto ending = std::find_if(running.begin(), running.end(),
                                         [&](const auto& r) { return r.id == step.id; });
        ASSERT_NE(ending, running.end());
        const remote::TemporaryChange change = *ending;
        running.erase(ending);
        const remote::Restore restore = remote::planRestore(running, change, mask);
        mask = restore.mask;
        EXPECT_EQ(restore.heldByOthers, step.held);
        EXPECT_EQ(restore.changedSince, step.changed);
      } else {
        const std::uint32_t wanted = *remote::parseLevelChange(step.levels, mask, kLevels);
        const std::uint32_t named =
            remote::bitsNamed(*remote::parseLevelChange(step.levels, 0, kLevels),
                              *remote::parseLevelChange(step.levels, ~0u, kLevels));
        if (step.op == 's' || step.op == 't') {
          auto started = remote::startTemporaryChange(running, key, mask, wanted, named);
          if (step.op == 't') {
            remote::takeOver(started, running.front());
            running.erase(running.begin());
          }
          running.push_back(started);
        } else {
          remote::releaseBits(running, key, named);
        }
        mask = wanted;
      }
      EXPECT_EQ(remote::maskHex(mask), remote::maskHex(step.mask));
      // Every running change survives its line in the state file.
      for (const auto& r : running) {
        const auto back = remote::parseTemporaryChange(remote::temporaryChangeLine(r));
        ASSERT_TRUE(back);
        EXPECT_EQ(remote::temporaryChangeLine(*back), remote::temporaryChangeLine(r));
      }
    }
  }
}
