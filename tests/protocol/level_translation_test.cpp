// tests/protocol/level_translation_test.cpp
//
// The four conversions between the host's level numbering and the clients':
// the fixed table and its edges, and the two round-trip identities over many
// random values, against a bit-by-bit reference.
#include <random>

#include "support/target_fixture.h"
#include "target/log_target_remote.h"

namespace {

class LevelTranslation : public TargetTest {
 protected:
  void SetUp() override {
    TargetTest::SetUp();
    target = std::make_unique<CLogtargetRemote>(nullptr);
  }
  std::unique_ptr<CLogtargetRemote> target;
};

TEST_F(LevelTranslation, NumericLevelsMapThroughTheTableThenThirtyFiveMinusN) {
  static const struct {
    unsigned int numeric, client;
  } kCases[] = {{0, 31}, {1, 31}, {3, 31}, {4, 30}, {5, 29}, {6, 29}, {7, 28}, {16, 19},
                {31, 4}, {32, 3}, {35, 0}, {36, 0xFFFFFFFF}, {37, 0xFFFFFFFE}, {0xFFFFFFFF, 36}};
  for (const auto& c : kCases) {
    EXPECT_EQ(target->numericLevelToClientLevel(c.numeric), c.client) << c.numeric;
  }
  for (unsigned int level : {0u, 4u, 29u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(target->clientLevelToNumeric(level), level);
  }
}

TEST_F(LevelTranslation, MasksMapBitByBit) {
  static const struct {
    unsigned int mask, clientMask;
  } kToClient[] = {{0, 0},
                   {0x00000001, 0x80000000},
                   {0x0000000F, 0x80000000},
                   {0x00000010, 0x40000000},
                   {0x00000020, 0x20000000},
                   {0x00000040, 0x20000000},
                   {0x00000080, 0x10000000},
                   {0x80000000, 0x00000010},
                   {0xFFFFFFFF, 0xFFFFFFF0}};
  for (const auto& c : kToClient) EXPECT_EQ(target->masktoClientMask(c.mask), c.clientMask) << c.mask;

  static const struct {
    unsigned int clientMask, mask;
  } kToHost[] = {{0, 0x00000007},          {0x0000000F, 0x00000007}, {0x00000010, 0x80000007},
                 {0x20000000, 0x00000067}, {0x40000000, 0x00000017}, {0x80000000, 0x0000000F},
                 {0xFFFFFFF0, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}};
  for (const auto& c : kToHost) EXPECT_EQ(target->clientMaskToMask(c.clientMask), c.mask) << c.clientMask;
}

TEST_F(LevelTranslation, RoundTripsHoldForRandomMasks) {
  // A slow reference: each set bit moved on its own.
  const auto referenceToClient = [&](unsigned int mask) {
    unsigned int out = 0;
    for (unsigned int n = 0; n < 32; ++n) {
      if (mask & (1u << n)) out |= 1u << target->numericLevelToClientLevel(n);
    }
    return out;
  };
  std::mt19937 random(20261206);
  for (int i = 0; i < 100000; ++i) {
    const unsigned int value = random();
    ASSERT_EQ(target->masktoClientMask(value), referenceToClient(value)) << value;
    // Back and forth from the client side: bits 0-3 dropped, bit 31 always set.
    ASSERT_EQ(target->masktoClientMask(target->clientMaskToMask(value)), (value & ~0xFu) | 0x80000000u)
        << value;
    // From the host side: 0-2 set, 3 if any of 0-3, 5 and 6 together, the rest kept.
    unsigned int expected = (value & 0xFFFFFF90u) | 0x7u;
    if (value & 0xFu) expected |= 0x8u;
    if (value & 0x60u) expected |= 0x60u;
    ASSERT_EQ(target->clientMaskToMask(target->masktoClientMask(value)), expected) << value;
  }
}

}  // namespace
