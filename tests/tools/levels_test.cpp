// tests/tools/levels_test.cpp
//
// tarvin-remote's level handling without a network: the LEVELS argument of
// set-level turned into client masks (absolute lists, +/- changes, hex
// masks, and the mistakes a user makes), and level names given to masks
// and to single records.
//
// Threads: single-threaded gtest cases.
#include "remote/levels.h"

#include <gtest/gtest.h>

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
