// tools/capture/pcapng.h
//
// Reading pcapng, what tcpdump, dumpcap and Wireshark write by default:
// the section header (byte order), interface descriptions (link type and
// timestamp resolution of each interface) and the packet blocks (enhanced,
// simple and the obsolete packet block). Other blocks are stepped over.
// Only reading: tail --pcap writes classic pcap (pcap.h), which every tool
// reads.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <string>

#include "capture/pcap.h"
#include "codec/client_codec.h"

namespace remote {

// Whether the bytes start with a pcapng section header block.
bool isPcapng(codec::ByteSpan file);

// The datagrams of a whole pcapng file. Throws ToolError (usage) for a
// file that breaks the format before any packet, or an interface whose
// link type is not read.
PcapContents parsePcapng(codec::ByteSpan file, const std::string& name);

}  // namespace remote
