// tools/capture/capture_frame.cpp
//
// Link-layer headers, then the IPv4 and UDP headers, big-endian as on the
// wire. Every length is checked against the bytes captured before it is
// read.
//
// Threads: pure functions; callable from any thread.
#include "capture/capture_frame.h"

#include <netinet/in.h>

#include <cstring>

#include "wire/byte_order.h"

namespace remote {
namespace {

constexpr std::uint32_t kLinkEthernet = 1;
constexpr std::uint32_t kLinkLinuxCooked = 113;
constexpr std::uint32_t kLinkIpv4 = 228;
constexpr std::uint32_t kLinkLinuxCooked2 = 276;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::size_t kNone = std::string::npos;

// Where the IPv4 packet starts inside one frame; kNone when the frame
// carries something else.
std::size_t ipOffset(std::uint32_t linkType, const std::uint8_t* frame, std::size_t size) {
  switch (linkType) {
    case kLinkRaw:
    case kLinkIpv4:
      return 0;
    case kLinkEthernet: {
      std::size_t at = 12;
      if (size >= at + 2 && wire::loadBe16(frame + at) == kEtherTypeVlan) at += 4;  // one VLAN tag
      return size >= at + 2 && wire::loadBe16(frame + at) == kEtherTypeIpv4 ? at + 2 : kNone;
    }
    case kLinkLinuxCooked:
      return size >= 16 && wire::loadBe16(frame + 14) == kEtherTypeIpv4 ? 16 : kNone;
    case kLinkLinuxCooked2:
      return size >= 20 && wire::loadBe16(frame) == kEtherTypeIpv4 ? 20 : kNone;
    default:
      return kNone;
  }
}

}  // namespace

bool linkTypeSupported(std::uint32_t linkType) {
  return linkType == kLinkRaw || linkType == kLinkIpv4 || linkType == kLinkEthernet ||
         linkType == kLinkLinuxCooked || linkType == kLinkLinuxCooked2;
}

std::string supportedLinkTypes() { return "raw IPv4, Ethernet or Linux cooked"; }

std::optional<CapturedDatagram> datagramOfFrame(std::uint32_t linkType, const std::uint8_t* frame,
                                                std::size_t captured, std::size_t original,
                                                SystemClock::time_point at) {
  const std::size_t ipAt = ipOffset(linkType, frame, captured);
  if (ipAt == kNone || captured != original || captured < ipAt + kIpHeaderSize) return std::nullopt;
  const std::uint8_t* ip = frame + ipAt;
  const std::size_t ipHeader = std::size_t{ip[0] & 0x0Fu} * 4;
  const std::size_t ipLength = wire::loadBe16(ip + 2);
  const bool fragment = (wire::loadBe16(ip + 6) & 0x3FFF) != 0;  // more-fragments flag or an offset
  if ((ip[0] >> 4) != 4 || ip[9] != IPPROTO_UDP || fragment || ipHeader < kIpHeaderSize ||
      ipLength > captured - ipAt || ipLength < ipHeader + kUdpHeaderSize) {
    return std::nullopt;
  }
  const std::uint8_t* udp = ip + ipHeader;
  const std::size_t udpLength = wire::loadBe16(udp + 4);
  if (udpLength < kUdpHeaderSize || udpLength > ipLength - ipHeader) return std::nullopt;
  CapturedDatagram d;
  d.at = at;
  d.from.sin_family = d.to.sin_family = AF_INET;
  std::memcpy(&d.from.sin_addr, ip + 12, 4);
  std::memcpy(&d.to.sin_addr, ip + 16, 4);
  std::memcpy(&d.from.sin_port, udp, 2);
  std::memcpy(&d.to.sin_port, udp + 2, 2);
  d.payload.assign(udp + kUdpHeaderSize, udp + udpLength);
  return d;
}

}  // namespace remote
