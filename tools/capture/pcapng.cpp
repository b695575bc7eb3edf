// tools/capture/pcapng.cpp
//
// pcapng blocks: type, total length, body, total length again, every field
// in the byte order of the section's header. A block whose length runs
// past the end of the file is where the file was cut.
//
// Threads: pure functions; callable from any thread.
#include "capture/pcapng.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/tool_error.h"
#include "capture/capture_frame.h"

namespace remote {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kObsoletePacket = 2;
constexpr std::uint32_t kSimplePacket = 3;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::size_t kBlockOverhead = 12;  // type, length, length
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionTimestampResolution = 9;

struct Interface {
  std::uint32_t linkType = 0;
  std::uint32_t snapLength = 0;  // 0: no limit
  // Timestamp units per second: 10^k or 2^k, from if_tsresol.
  long double unitsPerSecond = 1e6;
};

class Reader {
 public:
  Reader(codec::ByteSpan bytes, bool swapped) : bytes(bytes), swapped(swapped) {}
  std::uint32_t u32(std::size_t at) const {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{bytes[at + i]} << (8 * (swapped ? 3 - i : i));
    return v;
  }
  std::uint16_t u16(std::size_t at) const {
    return static_cast<std::uint16_t>(swapped ? bytes[at] << 8 | bytes[at + 1]
                                              : bytes[at + 1] << 8 | bytes[at]);
  }

 private:
  codec::ByteSpan bytes;
  bool swapped;
};

std::size_t padded(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

// Reads if_tsresol among the options of an interface description, which
// start at `at` and end at `end`.
void readOptions(const Reader& read, codec::ByteSpan file, std::size_t at, std::size_t end,
                 Interface& iface) {
  while (end - at >= 4) {
    const std::uint16_t code = read.u16(at);
    const std::size_t length = read.u16(at + 2);
    at += 4;
    if (code == kOptionEnd || length > end - at) return;
    if (code == kOptionTimestampResolution && length >= 1) {
      const std::uint8_t value = file[at];
      const int exponent = value & 0x7F;
      iface.unitsPerSecond = 1;
      for (int i = 0; i < exponent; ++i) iface.unitsPerSecond *= (value & 0x80) ? 2 : 10;
    }
    at += padded(length);
  }
}

// The time of a packet; nullopt when the clock cannot hold it (64 bits of
// timestamp in units as coarse as seconds reach far past what
// SystemClock's nanoseconds count): a made-up time would be a wrong record.
std::optional<SystemClock::time_point> timeOf(const Interface& iface, std::uint32_t high,
                                              std::uint32_t low) {
  const long double units = static_cast<long double>(std::uint64_t{high} << 32 | low);
  const long double micros = units * 1e6L / iface.unitsPerSecond;
  constexpr auto kLastMicro =
      std::chrono::duration_cast<std::chrono::microseconds>(SystemClock::duration::max());
  if (!(micros < static_cast<long double>(kLastMicro.count()))) return std::nullopt;
  return SystemClock::time_point(std::chrono::duration_cast<SystemClock::duration>(
      std::chrono::microseconds(static_cast<std::int64_t>(micros))));
}

}  // namespace

bool isPcapng(codec::ByteSpan file) {
  return file.size() >= 4 && file[0] == 0x0A && file[1] == 0x0D && file[2] == 0x0D &&
         file[3] == 0x0A;
}

PcapContents parsePcapng(codec::ByteSpan file, const std::string& name) {
  PcapContents contents;
  std::vector<Interface> interfaces;
  Reader read(file, false);
  std::size_t at = 0;
  std::size_t packet = 0;
  bool inSection = false;
  while (at < file.size()) {
    const std::size_t left = file.size() - at;
    if (left < 8) {
      contents.cut = cutText(packet + 1, at, kBlockOverhead, left);
      break;
    }
    if (read.u32(at) == kSectionHeader || !inSection) {
      // A new section may change the byte order: its magic says which.
      if (left < 12 || !isPcapng(file.subspan(at)))
        throw ToolError{ErrorKind::kBadInput, name + ": not a pcapng file"};
      const std::uint32_t magic = Reader(file, false).u32(at + 8);
      if (magic != kByteOrderMagic && Reader(file, true).u32(at + 8) != kByteOrderMagic) {
        throw ToolError{ErrorKind::kBadInput,
                        name + ": pcapng section with an unknown byte-order magic"};
      }
      read = Reader(file, magic != kByteOrderMagic);
      interfaces.clear();
      inSection = true;
    }
    const std::uint32_t type = read.u32(at);
    const std::size_t length = read.u32(at + 4);
    if (length < kBlockOverhead || length % 4 != 0) {
      throw ToolError{ErrorKind::kBadInput, name + ": pcapng block of length " +
                                                std::to_string(length) + " at byte " +
                                                std::to_string(at)};
    }
    const bool isPacket =
        type == kEnhancedPacket || type == kSimplePacket || type == kObsoletePacket;
    if (length > left) {
      contents.cut = cutText(packet + (isPacket ? 1 : 0), at, length, left);
      break;
    }
    const std::size_t body = at + 8;
    const std::size_t end = at + length - 4;
    at += length;

    if (type == kInterfaceDescription) {
      if (end - body < 8)
        throw ToolError{ErrorKind::kBadInput, name + ": pcapng interface description cut short"};
      Interface iface;
      iface.linkType = read.u16(body);
      iface.snapLength = read.u32(body + 4);
      if (!linkTypeSupported(iface.linkType)) {
        throw ToolError{ErrorKind::kBadInput, name + ": link type " +
                                                  std::to_string(iface.linkType) +
                                                  " not supported (" + supportedLinkTypes() + ")"};
      }
      readOptions(read, file, body + 8, end, iface);
      interfaces.push_back(iface);
      continue;
    }
    if (!isPacket) continue;  // statistics, name resolution, ...
    ++packet;

    std::size_t interfaceId = 0, captured = 0, original = 0, data = 0;
    SystemClock::time_point when{};
    if (type == kEnhancedPacket || type == kObsoletePacket) {
      if (end - body < 20) {
        ++contents.skipped;
        continue;
      }
      interfaceId = type == kEnhancedPacket ? read.u32(body) : read.u16(body);
      captured = read.u32(body + 12);
      original = read.u32(body + 16);
      data = body + 20;
      if (interfaceId < interfaces.size()) {
        const auto at = timeOf(interfaces[interfaceId], read.u32(body + 4), read.u32(body + 8));
        if (!at) {
          ++contents.skipped;
          continue;
        }
        when = *at;
      }
    } else {
      // A simple packet holds no timestamp and as much of the frame as the
      // snap length of interface 0 allowed.
      if (end - body < 4) {
        ++contents.skipped;
        continue;
      }
      original = read.u32(body);
      data = body + 4;
      captured = std::min(original, end - data);
      if (!interfaces.empty() && interfaces[0].snapLength != 0) {
        captured = std::min<std::size_t>(captured, interfaces[0].snapLength);
      }
    }
    if (interfaceId >= interfaces.size() || captured > end - data) {
      ++contents.skipped;
      continue;
    }
    auto datagram = datagramOfFrame(interfaces[interfaceId].linkType, file.data() + data, captured,
                                    original, when);
    if (datagram) {
      contents.datagrams.push_back(std::move(*datagram));
    } else {
      ++contents.skipped;
    }
  }
  return contents;
}

}  // namespace remote
