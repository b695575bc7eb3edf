// src/wire/byte_order.h
//
// 32-bit big-endian fields at any offset. memcpy, not a pointer cast: fields
// after strings are unaligned, and a cast would break the aliasing rules and
// trip -fsanitize=alignment. Each call compiles to one load or store.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace wire {

inline std::uint32_t loadBe32(const void* at) {
  std::uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return ntohl(value);
}

inline void storeBe32(void* at, std::uint32_t value) {
  value = htonl(value);
  std::memcpy(at, &value, sizeof value);
}

}  // namespace wire
