// src/wire/byte_order.h
//
// 16- and 32-bit big-endian fields at any offset. memcpy, not a pointer cast: fields
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

inline std::uint16_t loadBe16(const void* at) {
  std::uint16_t value;
  std::memcpy(&value, at, sizeof value);
  return ntohs(value);
}

inline void storeBe16(void* at, std::uint16_t value) {
  value = htons(value);
  std::memcpy(at, &value, sizeof value);
}

}  // namespace wire
