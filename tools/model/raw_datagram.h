// tools/model/raw_datagram.h
//
// RawDatagram: one datagram as it arrived, before parsing, with both ends of
// its path. What the session hands a capture (tail --pcap), malformed
// datagrams included.
//
// Threads: a plain value; its bytes belong to the receiver and live for the
// call it is passed to.
#pragma once

#include <netinet/in.h>

#include "base/clocks.h"
#include "codec/client_codec.h"

namespace remote {

struct RawDatagram {
  SystemClock::time_point at;
  sockaddr_in from{};
  sockaddr_in to{};  // the destination address in the packet and our port
  codec::ByteSpan bytes;
};

}  // namespace remote
