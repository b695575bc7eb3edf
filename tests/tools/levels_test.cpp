// tests/tools/levels_test.cpp
//
// tarvin-remote's level handling without a network: level lists turned into
// client masks (absolute lists, +/- changes, hex masks, and the mistakes a
// user makes), and level names given to masks and to single records.
//
// Threads: single-threaded gtest cases.
#include "remote/levels.h"

#include <gtest/gtest.h>

namespace {

const remote::Levels kLevels = {
    {31, "error"}, {30, "warning"}, {29, "info"}, {28, "debug"}, {27, "trace"}};

}  // namespace

TEST(LevelChange, GivesTheClientMask) {
  static const struct {
    const char* levels;
    std::uint32_t current;
    std::uint32_t expected;
  } kCases[] = {
      {"0xF0000000", 0x00000000, 0xF0000000},
      {"0x0", 0xFFFFFFFF, 0x00000000},
      {"error,warning", 0x0F000000, 0xC0000000},  // a list replaces the mask
      {" error , 28 ", 0, 0x90000000},             // numbers are client levels
      {"ERROR", 0, 0x80000000},
      {"+debug", 0xE0000000, 0xF0000000},
      {"-info,+trace", 0xE0000000, 0xC8000000},
      {"-error", 0x80000000, 0x00000000},
      {"+error", 0x80000000, 0x80000000},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.levels);
    const auto mask = remote::parseLevelChange(c.levels, c.current, kLevels);
    ASSERT_TRUE(mask) << mask.error();
    EXPECT_EQ(*mask, c.expected);
  }
}

TEST(LevelChange, RefusesWhatIsNotALevel) {
  static const struct {
    const char* levels;
    const char* expectedError;
  } kCases[] = {
      {"", "empty level list"},
      {"0xZZ", "'0xZZ' is not a 32-bit hex mask"},
      {"0x100000000", "'0x100000000' is not a 32-bit hex mask"},
      {"nope", "no level 'nope' (known: error, warning, info, debug, trace)"},
      {"32", "no level '32'"},
      {"error,,info", "empty item in level list"},
      {"error,+debug", "mix of absolute and +/- items ('+debug')"},
      {"+debug,info", "mix of absolute and +/- items ('info')"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.levels);
    const auto mask = remote::parseLevelChange(c.levels, 0, kLevels);
    ASSERT_FALSE(mask);
    EXPECT_EQ(mask.error().rfind(c.expectedError, 0), 0u) << mask.error();
  }
  const auto none = remote::parseLevelChange("error", 0, {});
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error(), "no level 'error' (the component describes no levels)");
}

TEST(LevelNames, OfRecordsAndMasks) {
  // Numeric levels 5 and 6 share client level 29, so a record at 29 is both.
  const remote::Levels shared = {{31, "error"}, {29, "info"}, {29, "notice"}};
  static const struct {
    const char* name;
    std::uint32_t clientMask;
    const remote::Levels* levels;
    const char* expected;
  } kCases[] = {
      {"described level", 0x20000000, &kLevels, "info"},
      {"lowest described level", 0x08000000, &kLevels, "trace"},
      {"undescribed level", 0x00000010, &kLevels, "level 4"},
      {"two descriptions share a level", 0x20000000, &shared, "info/notice"},
      {"no bit", 0x00000000, &kLevels, "0x00000000"},
      {"two bits", 0x30000000, &kLevels, "0x30000000"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(remote::recordLevelName(c.clientMask, *c.levels), c.expected);
  }
  EXPECT_EQ(remote::levelNamesInMask(0xE0000010, kLevels),
            (std::vector<std::string>{"error", "warning", "info", "level 4"}));
  EXPECT_EQ(remote::levelNamesInMask(0xA0000000, shared),
            (std::vector<std::string>{"error", "info", "notice"}));
}
