// src/protocol/level_translation.cpp
//
// Translation between the host's level numbering (numeric levels, masks) and
// the clients' (client levels, client masks). Fixed arithmetic on numbers
// and bits; what each level means reaches clients through the level
// descriptions.
//
// Threads: pure functions, callable from any thread at once.
#include <array>
#include <cstdint>

#include "protocol/bit_reverse.h"
#include "target/log_target_remote.h"

namespace {
// Numeric levels 0-5; every higher level n maps to 35 - n.
constexpr std::array<std::uint8_t, 6> kLowLevels = {31, 31, 31, 31, 30, 29};
}  // namespace

unsigned int CLogtargetRemote::numericLevelToClientLevel(unsigned int level) const {
  if (level < kLowLevels.size()) return kLowLevels[level];
  return 35u - level;  // wraps above 35, on purpose: the host's value as it comes
}

unsigned int CLogtargetRemote::clientLevelToNumeric(unsigned int level) const { return level; }

unsigned int CLogtargetRemote::masktoClientMask(unsigned int mask) const {
  // Numeric levels 7-31 map to client levels 28-4 (35 - n): a mirror image
  // shifted by four. Levels 0-6 share the three top client levels. Runs on
  // every log() call, hence no loop over the 32 bits.
  unsigned int clientMask = wire::reverseBits(mask & 0xFFFFFF80u) << 4;
  if (mask & 0x0000000Fu) clientMask |= 1u << 31;
  if (mask & 0x00000010u) clientMask |= 1u << 30;
  if (mask & 0x00000060u) clientMask |= 1u << 29;
  return clientMask;
}

unsigned int CLogtargetRemote::clientMaskToMask(unsigned int clientMask) const {
  const unsigned int reversed = wire::reverseBits(clientMask);
  // Client levels 4-28 land on numeric 31-7, 29 on 5 and 6, 30 on 4 and 31
  // on 3; client levels 0-3 fall off the top. Numeric levels 0-2 are always
  // on, so no client can silence them.
  return ((reversed >> 2) << 6) | ((reversed & 7u) << 3) | 7u;
}
