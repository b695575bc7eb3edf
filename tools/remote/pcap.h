// tools/remote/pcap.h
//
// The classic pcap format, so a session recorded with `tail --pcap` opens
// in Wireshark and replays elsewhere with `replay`. Bytes in, bytes out:
// the files themselves are pcap_file.h's.
//
// Each received datagram becomes one raw IPv4 packet (LINKTYPE_RAW) with a
// synthesised IPv4 and UDP header carrying the real addresses and ports,
// and a microsecond timestamp. The parser takes that and also what tcpdump
// or dumpcap record on a loopback or Ethernet interface
// (LINKTYPE_ETHERNET, LINKTYPE_IPV4, Linux cooked, either byte order,
// micro- or nanosecond timestamps); it keeps only whole UDP datagrams and
// counts what it skipped.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <vector>

#include "codec/client_codec.h"
#include "remote/clocks.h"
#include "remote/raw_datagram.h"

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
  std::vector<CapturedDatagram> datagrams;  // in capture order
  std::size_t skipped = 0;                  // packets that are no whole IPv4/UDP datagram
};

// The datagrams of a whole capture file's bytes; `name` heads the messages.
// Throws ToolError (usage) when the bytes are no classic pcap or have a
// link type other than those named above.
PcapContents parsePcap(codec::ByteSpan file, const std::string& name);

}  // namespace remote
