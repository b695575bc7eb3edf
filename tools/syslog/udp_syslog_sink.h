// tools/syslog/udp_syslog_sink.h
//
// The UDP collector of forward: each message is one datagram on a
// connected socket, up to 64 of them in one sendmmsg(). UDP says nothing
// about delivery, so what counts is what the kernel refused and what the
// collector's host sent back as port unreachable (ICMP, seen on a later
// send: at least one message each); those are counted and reported.
//
// Threads: single-threaded; see syslog_sink.h.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>

#include "common/unique_fd.h"
#include "syslog/syslog_sink.h"

namespace remote {

class UdpSyslogSink final : public SyslogSink {
 public:
  // Throws ToolError when the socket cannot be opened or connected.
  explicit UdpSyslogSink(CollectorUrl url);

  void push(std::string_view message) override;
  void flush() override;
  void drain(std::chrono::milliseconds limit) override;
  bool report() const override;

 private:
  static constexpr std::size_t kBatch = 64;

  const CollectorUrl url;
  UniqueFd socket;
  // The messages of the batch; each string keeps its capacity for the next.
  std::array<std::string, kBatch> pending;
  std::size_t pendingCount = 0;
  std::array<mmsghdr, kBatch> headers{};
  std::array<iovec, kBatch> vectors{};
  std::uint64_t written = 0;
  std::uint64_t sendFailures = 0;
  std::uint64_t refused = 0;  // port unreachable: a message sent earlier was not delivered
};

}  // namespace remote
