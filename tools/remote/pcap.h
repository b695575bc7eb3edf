// tools/remote/pcap.h
//
// Captures in the classic pcap format, so a session recorded with
// `tail --pcap` opens in Wireshark and replays elsewhere with `replay`.
//
// The writer stores each received datagram as one raw IPv4 packet
// (LINKTYPE_RAW) with a synthesised IPv4 and UDP header carrying the real
// addresses and ports, and a microsecond timestamp. The reader takes what
// the writer writes and also what tcpdump or dumpcap record on a loopback
// or Ethernet interface (LINKTYPE_ETHERNET, LINKTYPE_IPV4, either byte
// order, micro- or nanosecond timestamps); it keeps only whole UDP
// datagrams and counts what it skipped.
//
// Threads: a writer or reader belongs to one thread.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>
#include <vector>

#include "codec/client_codec.h"
#include "common/unique_fd.h"
#include "remote/session.h"

namespace remote {

struct CapturedDatagram {
  SystemClock::time_point at;
  sockaddr_in from{};
  sockaddr_in to{};
  codec::Bytes payload;
};

class PcapWriter {
 public:
  // Creates or truncates `path` and writes the file header. Throws
  // ToolError when the file cannot be written.
  explicit PcapWriter(const std::string& path);

  // One write() per packet, so a capture cut short by a kill holds whole
  // packets up to the last one. Throws ToolError on a failed write (a full
  // disk must not silently end the recording).
  void write(const RawDatagram& datagram);

 private:
  std::string path;
  UniqueFd fd;
};

struct PcapContents {
  std::vector<CapturedDatagram> datagrams;  // in capture order
  std::size_t skipped = 0;                  // packets that are no whole IPv4/UDP datagram
};

// Reads a whole capture. Throws ToolError when the file cannot be read, is
// no classic pcap, or has a link type other than those named above.
PcapContents readPcap(const std::string& path);

}  // namespace remote
