// tools/client/receive_batch.cpp
//
// The headers of one recvmmsg() and what the kernel wrote into them.
//
// Threads: a batch belongs to the thread that receives into it.
#include "client/receive_batch.h"

#include <cstring>

namespace remote {

ReceiveBatch::ReceiveBatch() : storage(new std::uint8_t[kCapacity * wire::kMaxDatagramSize]) {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    vectors[i] = {storage.get() + i * wire::kMaxDatagramSize, wire::kMaxDatagramSize};
  }
  prepare();
}

void ReceiveBatch::prepare() {
  // The kernel overwrites the lengths; every receive states them afresh.
  for (std::size_t i = 0; i < kCapacity; ++i) {
    msghdr& header = messages[i].msg_hdr;
    header.msg_name = &senders[i];
    header.msg_namelen = sizeof senders[i];
    header.msg_iov = &vectors[i];
    header.msg_iovlen = 1;
    header.msg_control = controls[i].bytes;
    header.msg_controllen = sizeof controls[i].bytes;
    header.msg_flags = 0;
    messages[i].msg_len = 0;
  }
  count = 0;
}

void ReceiveBatch::received(std::size_t datagrams, SystemClock::time_point when) {
  count = datagrams;
  receivedAt = when;
}

codec::ByteSpan ReceiveBatch::bytes(std::size_t i) const {
  return {static_cast<const std::uint8_t*>(vectors[i].iov_base), messages[i].msg_len};
}

in_addr ReceiveBatch::to(std::size_t i) const {
  in_addr address{};
  const msghdr& header = messages[i].msg_hdr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      address = info.ipi_addr;
    }
  }
  return address;
}

bool ReceiveBatch::dropCount(std::uint32_t& total) const {
  if (count == 0) return false;
  const msghdr& header = messages[count - 1].msg_hdr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
      std::memcpy(&total, CMSG_DATA(c), sizeof total);
      return true;
    }
  }
  return false;
}

}  // namespace remote
