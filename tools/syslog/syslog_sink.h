// tools/syslog/syslog_sink.h
//
// Where forward's syslog messages go: SyslogSink, the interface the
// Forward handler talks to, and the collector URL that picks the sink:
// udp://HOST:PORT (udp_syslog_sink.h, one datagram per message) or
// tcp://HOST:PORT (tcp_syslog_sink.h, octet-counted frames over a
// connection that comes and goes). Every sink counts what it could not
// deliver and says so in report(); forward's exit status rests on it.
//
// Messages are taken one by one and sent a batch at a time: the Forward
// handler calls flush() at the end of every receive batch, so a busy
// target costs one sendmmsg() or one write a batch, and a quiet one
// still sees each message go out at once.
//
// Threads: single-threaded; the Follower's loop waits on waitFor() and
// calls onReady() and onTimers().
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/clocks.h"
#include "model/endpoint.h"

namespace remote {

struct CollectorUrl {
  enum class Transport { kUdp, kTcp } transport = Transport::kUdp;
  Endpoint endpoint;
  std::string text;  // as given, for messages
};

// udp://HOST[:PORT] or tcp://HOST[:PORT] (port 514). Throws ToolError
// (usage) otherwise.
CollectorUrl parseCollectorUrl(const std::string& url);

class SyslogSink {
 public:
  virtual ~SyslogSink() = default;

  // Takes a copy of one message (without framing), to be sent by the
  // next flush() at the latest. Hot path: no allocation once the sink's
  // buffers have grown to the traffic.
  virtual void push(std::string_view message) = 0;
  // Sends what push() took, as far as the collector takes it now.
  virtual void flush() = 0;

  // A sink that waits for its collector says here on what: the descriptor
  // and events to poll beside the targets' socket (nullptr: none now), and
  // the time its next timer is due. The loop calls onReady() with what the
  // descriptor has and onTimers() after every wake-up.
  virtual pollfd* waitFor() { return nullptr; }
  virtual void onReady(short /*revents*/) {}
  virtual Clock::time_point nextDeadline(Clock::time_point next) const { return next; }
  virtual void onTimers(Clock::time_point /*now*/) {}

  // At the end: gives the collector up to `limit` for what is still queued.
  virtual void drain(std::chrono::milliseconds /*limit*/) {}

  // Says on stderr what was forwarded and what was not; true when every
  // message went out.
  virtual bool report() const = 0;
};

// The sink `url` names, connecting (TCP) or connected (UDP) at once.
// `queueCapacity` and `resendWindow` are the TCP sink's (tcp_syslog_sink.h).
// Throws ToolError when a UDP socket cannot be opened.
std::unique_ptr<SyslogSink> openSyslogSink(const CollectorUrl& url, std::size_t queueCapacity,
                                           std::size_t resendWindow);

}  // namespace remote
