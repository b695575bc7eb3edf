// tools/capture/capture_frame.h
//
// One captured link-layer frame to the UDP datagram inside it, for both
// capture formats (pcap.h, pcapng.h): raw IPv4 (what tail --pcap writes),
// Ethernet with at most one VLAN tag, and Linux cooked captures v1 and v2
// (tcpdump -i any). Only whole, unfragmented IPv4/UDP datagrams are taken.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "capture/pcap.h"

namespace remote {

// LINKTYPE_RAW: bare IPv4 packets, what tail --pcap writes.
constexpr std::uint32_t kLinkRaw = 101;
constexpr std::size_t kIpHeaderSize = 20;  // IPv4 without options
constexpr std::size_t kUdpHeaderSize = 8;

// Whether frames of this link type (LINKTYPE_* number) can be read.
bool linkTypeSupported(std::uint32_t linkType);
// "raw IPv4, Ethernet or Linux cooked", for messages.
std::string supportedLinkTypes();

// The datagram in one frame of `captured` bytes (of `original` on the
// wire); nullopt when it holds no whole IPv4/UDP datagram.
std::optional<CapturedDatagram> datagramOfFrame(std::uint32_t linkType, const std::uint8_t* frame,
                                                std::size_t captured, std::size_t original,
                                                SystemClock::time_point at);

}  // namespace remote
