// src/protocol/bit_reverse.h: mirror the 32 bits of a word (bit k to 31 - k).
//
// The level numberings of host and clients run in opposite directions, so
// both mask conversions are a reversal plus a few fixed bits. Five swap
// steps instead of a 32-round loop keep log() cheap.
#pragma once

#include <cstdint>

namespace wire {

constexpr std::uint32_t reverseBits(std::uint32_t v) {
  v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
  v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
  v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
  v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
  return (v >> 16) | (v << 16);
}

static_assert(reverseBits(1u) == 0x80000000u && reverseBits(0x80000000u) == 1u);
static_assert(reverseBits(0x00000006u) == 0x60000000u);

}  // namespace wire
