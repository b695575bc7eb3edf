// tools/remote/udp_syslog_sink.h
//
// The UDP collector of forward: each message is one datagram, sent at once
// on a connected socket. UDP says nothing about delivery, so what counts
// is what the kernel refused; those messages are counted and reported.
//
// Threads: single-threaded; see syslog_sink.h.
#pragma once

#include <cstdint>
#include <string>

#include "common/unique_fd.h"
#include "remote/syslog_sink.h"

namespace remote {

class UdpSyslogSink final : public SyslogSink {
 public:
  // Throws ToolError when the socket cannot be opened or connected.
  explicit UdpSyslogSink(CollectorUrl url);

  void push(const std::string& message) override;
  bool report() const override;

 private:
  const CollectorUrl url;
  UniqueFd socket;
  std::uint64_t written = 0;
  std::uint64_t sendFailures = 0;
};

}  // namespace remote
