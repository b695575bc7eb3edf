// tests/protocol/level_translation_test.cpp
//
// The four conversions between the host's level numbering and the clients':
// the fixed table of numeric levels and its edges, then both mask directions
// over many random masks against a reference that moves each bit on its own
// through that table.
#include <random>

#include "support/target_fixture.h"
#include "target/log_target_remote.h"

namespace {

class LevelTranslation : public TargetTest {
 protected:
  CLogtargetRemote target{nullptr};
};

TEST_F(LevelTranslation, NumericLevelsMapThroughTheTableThenThirtyFiveMinusN) {
  static const struct {
    unsigned int numeric, client;
  } kCases[] = {{0, 31}, {1, 31},          {3, 31},          {4, 30},         {5, 29},
                {6, 29}, {7, 28},          {16, 19},         {31, 4},         {32, 3},
                {35, 0}, {36, 0xFFFFFFFF}, {37, 0xFFFFFFFE}, {0xFFFFFFFF, 36}};
  for (const auto& c : kCases) {
    EXPECT_EQ(target.numericLevelToClientLevel(c.numeric), c.client) << c.numeric;
    EXPECT_EQ(target.clientLevelToNumeric(c.numeric), c.numeric) << "taken as it comes";
  }
}

TEST_F(LevelTranslation, MasksMoveBitByBitThroughTheTable) {
  // Host to client: each numeric level n lights client level f(n). Client to
  // host: each numeric level whose f(n) is lit, and 0-2 always, so that no
  // client can silence them; client levels 0-3 have no numeric level.
  const auto toClient = [&](unsigned int mask) {
    unsigned int out = 0;
    for (unsigned int n = 0; n < 32; ++n) {
      if (mask & (1u << n)) out |= 1u << target.numericLevelToClientLevel(n);
    }
    return out;
  };
  const auto toHost = [&](unsigned int clientMask) {
    unsigned int out = 0x7;
    for (unsigned int n = 0; n < 32; ++n) {
      if (clientMask & (1u << target.numericLevelToClientLevel(n))) out |= 1u << n;
    }
    return out;
  };
  std::mt19937 random(20261206);
  for (int i = 0; i < 100000; ++i) {
    const unsigned int value = i == 0 ? 0 : i == 1 ? 0xFFFFFFFF : random();
    ASSERT_EQ(target.masktoClientMask(value), toClient(value)) << value;
    ASSERT_EQ(target.clientMaskToMask(value), toHost(value)) << value;
  }
}

}  // namespace
