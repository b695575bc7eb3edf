// tools/client/receive_batch.h
//
// ReceiveBatch: the storage one recvmmsg() fills, up to kCapacity datagrams
// with their senders, destination addresses (for captures) and the
// socket's drop counter, read at one receive time. Everything is sized at
// construction, so receiving a batch allocates nothing; the datagrams are
// good until the next receive into the same batch.
//
// Threads: a batch belongs to the thread that receives into it.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/clocks.h"
#include "codec/client_codec.h"
#include "wire/wire_format.h"

namespace remote {

class ReceiveBatch {
 public:
  // 64 datagrams a system call: at 100,000 records/s a batch fills in
  // under a millisecond, and 128 KiB of buffers stay in the cache.
  static constexpr std::size_t kCapacity = 64;

  ReceiveBatch();
  ReceiveBatch(const ReceiveBatch&) = delete;
  ReceiveBatch& operator=(const ReceiveBatch&) = delete;

  std::size_t size() const { return count; }
  codec::ByteSpan bytes(std::size_t i) const;
  const sockaddr_in& from(std::size_t i) const { return senders[i]; }
  // The address the datagram was sent to (IP_PKTINFO), 0.0.0.0 when the
  // kernel did not say.
  in_addr to(std::size_t i) const;
  // When recvmmsg() returned the batch.
  SystemClock::time_point at() const { return receivedAt; }

  // For Session: prepares the headers for a receive of up to kCapacity,
  // and records what came back.
  mmsghdr* headers() { return messages.data(); }
  void prepare();
  void received(std::size_t datagrams, SystemClock::time_point when);
  // The socket's count of the datagrams it dropped for want of buffer
  // space (SO_RXQ_OVFL) when the batch's last datagram was queued; the
  // count only grows, so the last one holds the batch's news. False when
  // it carried none: nothing was dropped before it.
  bool dropCount(std::uint32_t& total) const;

 private:
  // Room for IP_PKTINFO and SO_RXQ_OVFL, the two messages the session asks for.
  struct alignas(cmsghdr) Control {
    char bytes[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(std::uint32_t))];
  };

  std::unique_ptr<std::uint8_t[]> storage;  // kCapacity datagrams of kMaxDatagramSize
  std::array<mmsghdr, kCapacity> messages{};
  std::array<iovec, kCapacity> vectors{};
  std::array<sockaddr_in, kCapacity> senders{};
  std::array<Control, kCapacity> controls{};
  std::size_t count = 0;
  SystemClock::time_point receivedAt;
};

}  // namespace remote
