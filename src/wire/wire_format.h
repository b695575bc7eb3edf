// src/wire/wire_format.h
//
// The remote protocol's datagram layouts: function descriptors, the common
// header of every datagram the target sends, the offset of every field and
// the length rules. The target's builders and parsers and the client-side
// codec all take their numbers from here, so the two sides cannot drift.
//
// Threads: constants and pure functions only; callable from anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wire {

// The 32-bit big-endian word that opens every datagram. A reply's descriptor
// is its request's plus one.
enum FunctionDescriptor : std::uint32_t {
  kDiscoveryRequest = 1,  // DRQ
  kDiscoveryResponse = 2,
  kRegistrationRequest = 16,  // RRQ
  kRegistrationConfirm = 17,
  kUnregistrationRequest = 19,  // URQ
  kSetLevelRequest = 33,        // SLV
  kComponentInfo = 34,
  kLogRecord = 48,
  kGetLevelDescriptionsRequest = 64,  // GLVD
  kLevelDescriptions = 65,
};

// Every datagram received or sent fits the 2048-byte protocol and log buffers.
inline constexpr std::size_t kMaxDatagramSize = 2048;

// Targets bind the first free port of this range.
inline constexpr std::uint16_t kFirstPort = 57008;
inline constexpr std::uint16_t kPortCount = 10;

inline constexpr std::size_t kFieldSize = 4;  // every integer is 32 bits
inline constexpr std::size_t kDescriptorOffset = 0;

// Common header of every datagram the target sends: descriptor, then the
// target's 16-byte uuid copied as the target holds it.
inline constexpr std::size_t kUuidOffset = 4;
inline constexpr std::size_t kUuidSize = 16;
inline constexpr std::size_t kHeaderSize = kUuidOffset + kUuidSize;  // 20

// Requests carry their descriptor alone as header; what follows is payload.
inline constexpr std::size_t kRequestHeaderSize = kFieldSize;

// SLV: request id, client mask, component name (NUL-terminated).
namespace slv {
inline constexpr std::size_t kRequestIdOffset = kRequestHeaderSize;     // 4
inline constexpr std::size_t kClientMaskOffset = kRequestIdOffset + 4;  // 8
inline constexpr std::size_t kNameOffset = kClientMaskOffset + 4;       // 12
inline constexpr std::size_t kMinSize = kNameOffset + 1;                // 13
}  // namespace slv

// GLVD: request id, component name (NUL-terminated).
namespace glvd {
inline constexpr std::size_t kRequestIdOffset = kRequestHeaderSize;  // 4
inline constexpr std::size_t kNameOffset = kRequestIdOffset + 4;     // 8
inline constexpr std::size_t kMinSize = kNameOffset + 1;             // 9
}  // namespace glvd

// The longest component name an SLV or GLVD may carry; longer ones are ignored.
inline constexpr std::size_t kMaxRequestNameLength = 31;

// Discovery response and registration confirm: header, application name.
namespace appinfo {
inline constexpr std::size_t kNameOffset = kHeaderSize;  // 20
}  // namespace appinfo

// Component info: header, request id, client mask, component name.
namespace component_info {
inline constexpr std::size_t kRequestIdOffset = kHeaderSize;            // 20
inline constexpr std::size_t kClientMaskOffset = kRequestIdOffset + 4;  // 24
inline constexpr std::size_t kNameOffset = kClientMaskOffset + 4;       // 28
}  // namespace component_info

// Level descriptions: opens like the component info, then after the name's
// NUL a count k, k client levels and k NUL-terminated texts, none aligned.
namespace level_descriptions {
using component_info::kClientMaskOffset;
using component_info::kNameOffset;
using component_info::kRequestIdOffset;
}  // namespace level_descriptions

// Log record: header, sequence number, four integers, client mask, then four
// NUL-terminated strings.
namespace log_record {
inline constexpr std::size_t kSequenceOffset = kHeaderSize;          // 20
inline constexpr std::size_t kIntegersOffset = kSequenceOffset + 4;  // 24
inline constexpr std::size_t kIntegerCount = 4;
inline constexpr std::size_t kClientMaskOffset =
    kIntegersOffset + kIntegerCount * kFieldSize;                     // 40
inline constexpr std::size_t kStringsOffset = kClientMaskOffset + 4;  // 44
inline constexpr std::size_t kStringCount = 4;
// Four empty strings: the shortest record.
inline constexpr std::size_t kMinSize = kStringsOffset + kStringCount;  // 48
}  // namespace log_record

// The request id of the component infos that follow a new registration.
inline constexpr std::uint32_t kUnsolicitedRequestId = 0xFFFFFFFFu;

// The longest strings that fit one datagram with their NUL.
inline constexpr std::size_t kMaxApplicationNameLength =
    kMaxDatagramSize - appinfo::kNameOffset - 1;  // 2027
inline constexpr std::size_t kMaxComponentNameLength =
    kMaxDatagramSize - component_info::kNameOffset - 1;  // 2019

// The length of a level-descriptions datagram up to and including its count.
constexpr std::size_t levelDescriptionsFixedSize(std::size_t nameLength) {
  return level_descriptions::kNameOffset + nameLength + 1 + kFieldSize;
}

static_assert(kHeaderSize == 20 && slv::kMinSize == 13 && glvd::kMinSize == 9);
static_assert(log_record::kStringsOffset == 44 && log_record::kMinSize == 48);
static_assert(levelDescriptionsFixedSize(0) == 33);

}  // namespace wire
