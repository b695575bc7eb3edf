// tools/capture/pcap.cpp
//
// Building and parsing classic pcap bytes; pcapng files are handed to
// pcapng.cpp. Header fields of pcap itself are
// in the byte order of the file's magic number (we write little-endian);
// the IPv4 and UDP headers inside a packet are big-endian, as on the wire.
//
// Threads: pure functions; callable from any thread.
#include "capture/pcap.h"

#include <cstring>

#include "base/tool_error.h"
#include "capture/capture_frame.h"
#include "capture/pcapng.h"
#include "wire/byte_order.h"

namespace remote {
namespace {

constexpr std::uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kMagicNano = 0xA1B23C4D;
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kPacketHeaderSize = 16;
constexpr std::uint32_t kSnapLength = 65535;

void storeLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void storeLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

// The one's-complement sum over the IPv4 header, as routers check it.
std::uint16_t ipChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kIpHeaderSize; i += 2) sum += wire::loadBe16(header + i);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// Reads the fields of one file in the byte order its magic number showed.
class FileOrder {
 public:
  explicit FileOrder(bool swapped) : swapped(swapped) {}
  std::uint32_t load32(const std::uint8_t* p) const {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{p[i]} << (8 * (swapped ? 3 - i : i));
    return v;
  }

 private:
  bool swapped;
};

}  // namespace

codec::Bytes pcapFileHeader() {
  codec::Bytes header(kFileHeaderSize);
  storeLe32(header.data(), kMagicMicro);
  storeLe16(header.data() + 4, 2);  // version 2.4
  storeLe16(header.data() + 6, 4);
  storeLe32(header.data() + 16, kSnapLength);
  storeLe32(header.data() + 20, kLinkRaw);
  return header;
}

codec::Bytes pcapPacket(const RawDatagram& datagram) {
  const std::size_t udpLength = kUdpHeaderSize + datagram.bytes.size();
  const std::size_t ipLength = kIpHeaderSize + udpLength;
  codec::Bytes packet(kPacketHeaderSize + ipLength);
  const auto sinceEpoch =
      std::chrono::duration_cast<std::chrono::microseconds>(datagram.at.time_since_epoch());
  storeLe32(packet.data(), static_cast<std::uint32_t>(sinceEpoch.count() / 1'000'000));
  storeLe32(packet.data() + 4, static_cast<std::uint32_t>(sinceEpoch.count() % 1'000'000));
  storeLe32(packet.data() + 8, static_cast<std::uint32_t>(ipLength));
  storeLe32(packet.data() + 12, static_cast<std::uint32_t>(ipLength));

  std::uint8_t* ip = packet.data() + kPacketHeaderSize;
  ip[0] = 0x45;  // version 4, five words of header
  wire::storeBe16(ip + 2, static_cast<std::uint16_t>(ipLength));
  wire::storeBe16(ip + 6, 0x4000);  // don't fragment: we only ever saw it whole
  ip[8] = 64;
  ip[9] = IPPROTO_UDP;
  std::memcpy(ip + 12, &datagram.from.sin_addr, 4);  // both already in network order
  std::memcpy(ip + 16, &datagram.to.sin_addr, 4);
  wire::storeBe16(ip + 10, ipChecksum(ip));

  std::uint8_t* udp = ip + kIpHeaderSize;
  std::memcpy(udp, &datagram.from.sin_port, 2);
  std::memcpy(udp + 2, &datagram.to.sin_port, 2);
  wire::storeBe16(udp + 4, static_cast<std::uint16_t>(udpLength));
  // Checksum 0 means "none" in IPv4: the kernel verified the real one when
  // the datagram arrived, and a made-up one could only be wrong.
  // An empty datagram's span may hold no pointer at all, which memcpy()
  // must not be given even for no bytes.
  if (!datagram.bytes.empty()) {
    std::memcpy(udp + kUdpHeaderSize, datagram.bytes.data(), datagram.bytes.size());
  }
  return packet;
}

PcapContents parsePcap(codec::ByteSpan file, const std::string& name) {
  if (file.size() >= 4 && isPcapng(file)) return parsePcapng(file, name);
  if (file.size() < kFileHeaderSize)
    throw ToolError{ErrorKind::kBadInput, name + ": too short for a pcap file"};

  const FileOrder little(false), big(true);
  const std::uint32_t magic = little.load32(file.data());
  const bool swapped = magic != kMagicMicro && magic != kMagicNano;
  const FileOrder order = swapped ? big : little;
  const std::uint32_t ordered = order.load32(file.data());
  if (ordered != kMagicMicro && ordered != kMagicNano) {
    throw ToolError{ErrorKind::kBadInput, name + ": neither a pcap nor a pcapng file"};
  }
  const long long fractionPerSecond = ordered == kMagicNano ? 1'000'000'000 : 1'000'000;
  const std::uint32_t linkType =
      order.load32(file.data() + 20) & 0x0FFFFFFF;  // upper bits: FCS info
  if (!linkTypeSupported(linkType)) {
    throw ToolError{ErrorKind::kBadInput, name + ": link type " + std::to_string(linkType) +
                                              " not supported (" + supportedLinkTypes() + ")"};
  }

  PcapContents contents;
  std::size_t at = kFileHeaderSize;
  std::size_t packet = 0;
  while (at < file.size()) {
    ++packet;
    if (file.size() - at < kPacketHeaderSize) {
      contents.cut = cutText(packet, at, kPacketHeaderSize, file.size() - at);
      break;
    }
    const std::uint8_t* header = file.data() + at;
    const std::uint32_t seconds = order.load32(header);
    const std::uint32_t fraction = order.load32(header + 4);
    const std::size_t captured = order.load32(header + 8);
    const std::size_t original = order.load32(header + 12);
    if (captured > file.size() - at - kPacketHeaderSize) {
      // The writer was killed or the file copied while it was written.
      contents.cut = cutText(packet, at, kPacketHeaderSize + captured, file.size() - at);
      break;
    }
    at += kPacketHeaderSize;
    const SystemClock::time_point when(std::chrono::duration_cast<SystemClock::duration>(
        std::chrono::microseconds(std::int64_t{seconds} * 1'000'000 +
                                  std::int64_t{fraction} * 1'000'000 / fractionPerSecond)));
    auto datagram = datagramOfFrame(linkType, file.data() + at, captured, original, when);
    at += captured;
    if (datagram) {
      contents.datagrams.push_back(std::move(*datagram));
    } else {
      ++contents.skipped;
    }
  }
  return contents;
}

std::string cutText(std::size_t packet, std::size_t offset, std::size_t needed, std::size_t left) {
  return "cut off in packet " + std::to_string(packet) + " at byte " + std::to_string(offset) +
         " (" + std::to_string(needed) + " bytes needed, " + std::to_string(left) + " left)";
}

}  // namespace remote
