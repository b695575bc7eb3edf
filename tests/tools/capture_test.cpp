// tests/tools/capture_test.cpp
//
// The capture readers on files the test writes byte by byte: every link
// type they read, in classic pcap and pcapng of either byte order, and a
// capture cut at every byte of its first frames, which must give a clear
// error or the datagrams before the cut, never a wrong one. What tail
// --pcap writes and replay prints is in remote_tools_test.cpp.
//
// Threads: single-threaded.
#include "capture/pcap.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/tool_error.h"

namespace {

using codec::Bytes;
using remote::CapturedDatagram;
using remote::PcapContents;

// Appends fields in one byte order.
struct Writer {
  bool bigEndian = false;
  Bytes bytes;

  void u8(std::uint8_t v) { bytes.push_back(v); }
  void u16(std::uint16_t v) {
    for (int i = 0; i < 2; ++i) u8(static_cast<std::uint8_t>(v >> (8 * (bigEndian ? 1 - i : i))));
  }
  void u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * (bigEndian ? 3 - i : i))));
  }
  void raw(const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
  void pad() {
    while (bytes.size() % 4 != 0) u8(0);
  }
};

Bytes bigEndian16(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

struct Frame {
  std::uint32_t micros = 0;  // since the epoch's second 1'700'000'000
  std::uint16_t fromPort = 0;
  Bytes payload;
};

// An IPv4 packet from 10.0.0.1:fromPort to 10.0.0.2:57008 carrying the
// frame's payload (UDP unless `protocol` says otherwise).
Bytes ipUdp(const Frame& frame, std::uint8_t protocol = 17, std::uint16_t flags = 0x4000) {
  Bytes packet(28);
  packet[0] = 0x45;
  const std::size_t total = packet.size() + frame.payload.size();
  packet[2] = static_cast<std::uint8_t>(total >> 8);
  packet[3] = static_cast<std::uint8_t>(total);
  packet[6] = static_cast<std::uint8_t>(flags >> 8);
  packet[7] = static_cast<std::uint8_t>(flags);
  packet[8] = 64;
  packet[9] = protocol;
  const std::uint8_t addresses[] = {10, 0, 0, 1, 10, 0, 0, 2};
  std::copy(std::begin(addresses), std::end(addresses), packet.begin() + 12);
  packet[20] = static_cast<std::uint8_t>(frame.fromPort >> 8);
  packet[21] = static_cast<std::uint8_t>(frame.fromPort);
  packet[22] = 57008 >> 8;
  packet[23] = 57008 & 0xFF;
  const std::size_t udp = 8 + frame.payload.size();
  packet[24] = static_cast<std::uint8_t>(udp >> 8);
  packet[25] = static_cast<std::uint8_t>(udp);
  packet.insert(packet.end(), frame.payload.begin(), frame.payload.end());
  return packet;
}

enum class Format { kPcapLittleMicro, kPcapBigNano, kPcapngLittle, kPcapngBigNano };
const Format kFormats[] = {Format::kPcapLittleMicro, Format::kPcapBigNano, Format::kPcapngLittle,
                           Format::kPcapngBigNano};
const char* nameOf(Format format) {
  switch (format) {
    case Format::kPcapLittleMicro:
      return "pcap, little-endian, microseconds";
    case Format::kPcapBigNano:
      return "pcap, big-endian, nanoseconds";
    case Format::kPcapngLittle:
      return "pcapng, little-endian";
    case Format::kPcapngBigNano:
      return "pcapng, big-endian, if_tsresol 9";
  }
  return "";
}

constexpr std::uint64_t kEpochSecond = 1'700'000'000;

// A capture of `frames` (link-layer bytes each) on one interface of
// `linkType`, and where each packet's record starts and ends.
struct Capture {
  Bytes bytes;
  std::vector<std::size_t> packetStart, packetEnd;
};
Capture captureOf(Format format, std::uint32_t linkType, const std::vector<Frame>& frames,
                  const std::vector<Bytes>& linkFrames) {
  const bool big = format == Format::kPcapBigNano || format == Format::kPcapngBigNano;
  const bool nano = big;
  Writer w{big, {}};
  Capture out;
  if (format == Format::kPcapLittleMicro || format == Format::kPcapBigNano) {
    w.u32(nano ? 0xA1B23C4D : 0xA1B2C3D4);
    w.u16(2);
    w.u16(4);
    w.u32(0);
    w.u32(0);
    w.u32(65535);
    w.u32(linkType);
    for (std::size_t i = 0; i < frames.size(); ++i) {
      out.packetStart.push_back(w.bytes.size());
      w.u32(static_cast<std::uint32_t>(kEpochSecond + frames[i].micros / 1'000'000));
      w.u32((frames[i].micros % 1'000'000) * (nano ? 1000 : 1));
      w.u32(static_cast<std::uint32_t>(linkFrames[i].size()));
      w.u32(static_cast<std::uint32_t>(linkFrames[i].size()));
      w.raw(linkFrames[i]);
      out.packetEnd.push_back(w.bytes.size());
    }
    out.bytes = std::move(w.bytes);
    return out;
  }
  // Section header, interface description, then enhanced packet blocks.
  w.u32(0x0A0D0D0A);
  w.u32(28);
  w.u32(0x1A2B3C4D);
  w.u16(1);
  w.u16(0);
  w.u32(0xFFFFFFFF);
  w.u32(0xFFFFFFFF);
  w.u32(28);
  const std::size_t idb = w.bytes.size();
  w.u32(1);
  w.u32(0);  // length, set below
  w.u16(static_cast<std::uint16_t>(linkType));
  w.u16(0);
  w.u32(0);
  if (nano) {
    w.u16(9);  // if_tsresol
    w.u16(1);
    w.u8(9);
    w.pad();
    w.u16(0);  // opt_endofopt
    w.u16(0);
  }
  w.u32(static_cast<std::uint32_t>(w.bytes.size() + 4 - idb));
  Writer length{big, {}};
  length.u32(static_cast<std::uint32_t>(w.bytes.size() - idb));
  std::copy(length.bytes.begin(), length.bytes.end(), w.bytes.begin() + idb + 4);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    out.packetStart.push_back(w.bytes.size());
    const std::uint64_t units = (kEpochSecond * 1'000'000 + frames[i].micros) * (nano ? 1000 : 1);
    const std::size_t padded = (linkFrames[i].size() + 3) & ~std::size_t{3};
    const auto total = static_cast<std::uint32_t>(32 + padded);
    w.u32(6);
    w.u32(total);
    w.u32(0);
    w.u32(static_cast<std::uint32_t>(units >> 32));
    w.u32(static_cast<std::uint32_t>(units));
    w.u32(static_cast<std::uint32_t>(linkFrames[i].size()));
    w.u32(static_cast<std::uint32_t>(linkFrames[i].size()));
    w.raw(linkFrames[i]);
    w.pad();
    w.u32(total);
    out.packetEnd.push_back(w.bytes.size());
  }
  out.bytes = std::move(w.bytes);
  return out;
}

// What the reader must make of `frame`.
void expectDatagram(const CapturedDatagram& d, const Frame& frame) {
  EXPECT_EQ(d.at, remote::SystemClock::time_point(std::chrono::seconds(kEpochSecond) +
                                                  std::chrono::microseconds(frame.micros)));
  EXPECT_EQ(d.from.sin_family, AF_INET);
  EXPECT_EQ(d.from.sin_addr.s_addr, htonl(0x0A000001));
  EXPECT_EQ(d.to.sin_addr.s_addr, htonl(0x0A000002));
  EXPECT_EQ(ntohs(d.from.sin_port), frame.fromPort);
  EXPECT_EQ(ntohs(d.to.sin_port), 57008);
  EXPECT_EQ(d.payload, frame.payload);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kMacs(12, 0x02);  // destination and source

// Link types and what each frame carries: only a whole, unfragmented
// IPv4/UDP datagram is taken; anything else is counted as skipped.
TEST(CaptureReaders, ReadEveryLinkTypeInEveryFormat) {
  const Frame frame{123'456, 40000, {0xde, 0xad, 0xbe, 0xef, 0x01}};
  const Bytes ip = ipUdp(frame);
  const Bytes sll2Tail = {0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  static const Bytes kSll1Head = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  const struct {
    const char* name;
    std::uint32_t linkType;
    Bytes frame;
    bool taken;
  } kCases[] = {
      {"raw IPv4 (LINKTYPE_RAW)", 101, ip, true},
      {"IPv4 (LINKTYPE_IPV4)", 228, ip, true},
      {"Ethernet", 1, concat({kMacs, bigEndian16(0x0800), ip}), true},
      {"Ethernet, one VLAN tag", 1,
       concat({kMacs, bigEndian16(0x8100), {0, 5}, bigEndian16(0x0800), ip}), true},
      {"Linux cooked v1", 113, concat({kSll1Head, bigEndian16(0x0800), ip}), true},
      {"Linux cooked v2", 276,
       concat({bigEndian16(0x0800), Bytes(sll2Tail.begin() + 2, sll2Tail.end()), ip}), true},
      {"Ethernet, ARP", 1, concat({kMacs, bigEndian16(0x0806), ip}), false},
      {"Ethernet, two VLAN tags", 1,
       concat({kMacs,
               bigEndian16(0x8100),
               {0, 5},
               bigEndian16(0x8100),
               {0, 6},
               bigEndian16(0x0800),
               ip}),
       false},
      {"Linux cooked v1, IPv6", 113, concat({kSll1Head, bigEndian16(0x86DD), ip}), false},
      {"Linux cooked v2, IPv6", 276,
       concat({bigEndian16(0x86DD), Bytes(sll2Tail.begin() + 2, sll2Tail.end()), ip}), false},
      {"Ethernet header only", 1, concat({kMacs, bigEndian16(0x0800)}), false},
      {"raw, TCP", 101, ipUdp(frame, /*protocol=*/6), false},
      {"raw, a fragment", 101, ipUdp(frame, 17, /*flags=*/0x2000), false},
      {"raw, cut IPv4 header", 101, Bytes(ip.begin(), ip.begin() + 19), false},
  };
  for (const auto& c : kCases) {
    for (const Format format : kFormats) {
      SCOPED_TRACE(std::string(c.name) + ", " + nameOf(format));
      const Capture capture = captureOf(format, c.linkType, {frame}, {c.frame});
      const PcapContents contents = remote::parsePcap(capture.bytes, "test.pcap");
      EXPECT_FALSE(contents.cut);
      ASSERT_EQ(contents.datagrams.size(), c.taken ? 1u : 0u);
      EXPECT_EQ(contents.skipped, c.taken ? 0u : 1u);
      if (c.taken) expectDatagram(contents.datagrams[0], frame);
    }
  }
  // A link type not read is an error before any packet, in both formats.
  for (const Format format : kFormats) {
    SCOPED_TRACE(nameOf(format));
    const Capture capture = captureOf(format, /*IEEE 802.11=*/105, {frame}, {ip});
    try {
      remote::parsePcap(capture.bytes, "wifi.pcap");
      ADD_FAILURE() << "link type 105 read";
    } catch (const remote::ToolError& error) {
      EXPECT_EQ(error.kind, remote::ErrorKind::kBadInput);
      EXPECT_EQ(error.message.rfind("wifi.pcap: link type 105 not supported", 0), 0u)
          << error.message;
    }
  }
}

// pcapng timestamps are 64 bits in units the interface names, as coarse
// as seconds: one past what the clock holds (about the year 2262) is no
// time to make up; the packet is skipped, and the packets beside it read.
TEST(CaptureReaders, PcapngTimeBeyondTheClockSkipsThePacket) {
  static const struct {
    const char* name;
    std::uint8_t tsresol;  // 10^-n seconds a unit, or 2^-n with the top bit
    std::uint64_t units;   // of the first packet
    std::uint64_t sane;    // of the second, 2023 in these units
    bool taken;
  } kCases[] = {
      {"nanoseconds, 2023", 9, 1'700'000'000'000'000'000, 1'700'000'000'000'000'000, true},
      {"nanoseconds, the largest", 9, UINT64_MAX, 1'700'000'000'000'000'000, false},
      {"seconds, 2023", 0, 1'700'000'000, 1'700'000'000, true},
      {"seconds, past 2262", 0, 10'000'000'000, 1'700'000'000, false},
      {"seconds, the largest", 0, UINT64_MAX, 1'700'000'000, false},
      {"half seconds, the largest", 0x81, UINT64_MAX, 3'400'000'000, false},
  };
  const Frame frame{0, 40000, {1, 2, 3}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Capture capture =
        captureOf(Format::kPcapngBigNano, 101, {frame, frame}, {ipUdp(frame), ipUdp(frame)});
    capture.bytes[48] = c.tsresol;  // the if_tsresol value in the interface description
    for (int packet : {0, 1}) {
      const std::uint64_t units = packet == 0 ? c.units : c.sane;
      Writer field{true, {}};
      field.u32(static_cast<std::uint32_t>(units >> 32));
      field.u32(static_cast<std::uint32_t>(units));
      std::copy(field.bytes.begin(), field.bytes.end(),
                capture.bytes.begin() + static_cast<long>(capture.packetStart[packet]) + 12);
    }
    const PcapContents contents = remote::parsePcap(capture.bytes, "test.pcapng");
    EXPECT_EQ(contents.datagrams.size(), c.taken ? 2u : 1u);
    EXPECT_EQ(contents.skipped, c.taken ? 0u : 1u);
  }
}

// A capture copied while it was written, or a writer killed, ends
// anywhere. Cut at every byte up to the end of its third packet, it gives
// a clear error (only before the first packet) or exactly the datagrams
// of the packets before the cut, with the cut said when it falls inside
// one.
TEST(CaptureReaders, CaptureCutAtEveryByteGivesTheDatagramsBeforeTheCut) {
  std::vector<Frame> frames;
  std::vector<Bytes> linkFrames;
  for (int i = 0; i < 4; ++i) {
    frames.push_back({static_cast<std::uint32_t>(1000 * i + 7),
                      static_cast<std::uint16_t>(40000 + i),
                      Bytes(static_cast<std::size_t>(5 + 3 * i), static_cast<std::uint8_t>(i))});
    linkFrames.push_back(concat({kMacs, bigEndian16(0x0800), ipUdp(frames.back())}));
  }
  for (const Format format : kFormats) {
    SCOPED_TRACE(nameOf(format));
    const Capture capture = captureOf(format, /*Ethernet=*/1, frames, linkFrames);
    for (std::size_t size = 0; size < capture.packetEnd[2]; ++size) {
      SCOPED_TRACE("cut at byte " + std::to_string(size));
      const Bytes cut(capture.bytes.begin(), capture.bytes.begin() + static_cast<long>(size));
      std::size_t whole = 0;
      while (whole < frames.size() && capture.packetEnd[whole] <= size) ++whole;
      const bool atBoundary =
          size == capture.packetStart[0] || (whole > 0 && size == capture.packetEnd[whole - 1]);
      PcapContents contents;
      try {
        contents = remote::parsePcap(cut, "cut.pcap");
      } catch (const remote::ToolError& error) {
        EXPECT_LT(size, capture.packetStart[0]) << error.message;
        EXPECT_EQ(error.message.rfind("cut.pcap: ", 0), 0u) << error.message;
        continue;
      }
      ASSERT_EQ(contents.datagrams.size(), whole);
      for (std::size_t i = 0; i < whole; ++i) expectDatagram(contents.datagrams[i], frames[i]);
      EXPECT_EQ(contents.skipped, 0u);
      if (size >= capture.packetStart[0]) {
        EXPECT_EQ(contents.cut.has_value(), !atBoundary) << contents.cut.value_or("no cut");
      }
      if (contents.cut && size >= capture.packetStart[0]) {
        EXPECT_NE(contents.cut->find("cut off in packet " + std::to_string(whole + 1)),
                  std::string::npos)
            << *contents.cut;
      }
    }
  }
}

}  // namespace
