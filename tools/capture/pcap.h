// tools/capture/pcap.h
//
// The classic pcap format, so a session recorded with `tail --pcap` opens
// in Wireshark and replays elsewhere with `replay`. Bytes in, bytes out:
// the files themselves are pcap_file.h's.
//
// Each received datagram becomes one raw IPv4 packet (LINKTYPE_RAW) with a
// synthesised IPv4 and UDP header carrying the real addresses and ports,
// and a microsecond timestamp. The parser takes that and also what tcpdump,
// dumpcap or Wireshark record on a loopback or Ethernet interface, in
// classic pcap (either byte order, micro- or nanosecond timestamps) or
// pcapng (pcapng.h), with the link types capture_frame.h reads; it keeps
// only whole UDP datagrams, counts what it skipped, and says where a file
// that ends inside a packet was cut.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "model/raw_datagram.h"

namespace remote {

// The file header of a capture that pcapPacket()'s packets follow.
codec::Bytes pcapFileHeader();

// The packet record of one datagram: record header, IPv4, UDP, payload.
codec::Bytes pcapPacket(const RawDatagram& datagram);

struct CapturedDatagram {
  SystemClock::time_point at;
  sockaddr_in from{};
  sockaddr_in to{};
  codec::Bytes payload;
};

struct PcapContents {
  std::vector<CapturedDatagram> datagrams;  // in capture order, up to a cut
  // Packets that are no whole IPv4/UDP datagram, or whose time is past
  // what the clock holds.
  std::size_t skipped = 0;
  std::optional<std::string> cut;  // where the file ends inside a packet
};

// The datagrams of a whole capture file's bytes; `name` heads the messages.
// Throws ToolError (usage) when the bytes are neither pcap nor pcapng or
// have a link type capture_frame.h does not read.
PcapContents parsePcap(codec::ByteSpan file, const std::string& name);

// "cut off in packet 7 at byte 1234 (60 bytes needed, 12 left)".
std::string cutText(std::size_t packet, std::size_t offset, std::size_t needed, std::size_t left);

}  // namespace remote
