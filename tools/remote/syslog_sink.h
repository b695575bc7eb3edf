// tools/remote/syslog_sink.h
//
// Where forward's syslog messages go: a collector at udp://HOST:PORT (one
// datagram per message) or tcp://HOST:PORT (octet-counted frames, RFC
// 6587). The TCP sink never blocks the loop that receives the records: it
// connects and writes without blocking, keeps what it cannot write yet in
// a bounded queue, and reconnects with a growing pause while the
// collector is away.
//
// A write that succeeded is not a delivery: what sat in our socket or the
// collector's when the connection went down is gone. So the sink keeps the
// last `resendWindow` messages it wrote and sends them again after every
// reconnect; the collector may see a few twice, and sees none go missing
// that the window held. A full queue drops its oldest message; every drop
// is counted and said on stderr, never silent.
//
// Threads: single-threaded; the Follower's loop waits on descriptor() and
// calls onReady() and onTimers().
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "common/unique_fd.h"
#include "remote/clocks.h"
#include "remote/endpoint.h"

namespace remote {

struct CollectorUrl {
  enum class Transport { kUdp, kTcp } transport = Transport::kUdp;
  Endpoint endpoint;
  std::string text;  // as given, for messages
};

// udp://HOST:PORT or tcp://HOST:PORT. Throws ToolError (usage) otherwise.
CollectorUrl parseCollectorUrl(const std::string& url);

class SyslogSink {
 public:
  SyslogSink(CollectorUrl url, std::size_t queueCapacity, std::size_t resendWindow);

  // Queues one message (without framing) and writes what it can at once.
  void push(const std::string& message);

  // The descriptor and events to wait for; nullptr while waiting to
  // reconnect (nextDeadline() says until when).
  pollfd* waitFor();
  void onReady(short revents);
  Clock::time_point nextDeadline(Clock::time_point next) const;
  void onTimers(Clock::time_point now);

  // At the end: writes the queue and, over TCP, waits until the collector
  // has read everything (it closes its side after our FIN), reconnecting
  // and resending as usual, until `limit` has passed.
  void drain(std::chrono::milliseconds limit);

  // Says on stderr what was forwarded and what was not; true when every
  // message went out.
  bool report() const;

 private:
  void connect();
  void onConnected();
  void disconnect(const std::string& why);
  void writeQueue();

  enum class State { kWaiting, kConnecting, kConnected };

  const CollectorUrl url;
  const std::size_t capacity;
  const std::size_t windowSize;
  UniqueFd socket;
  State state = State::kWaiting;
  pollfd wait{};

  std::deque<std::string> queue;   // framed, not yet written; front written up to frontOffset
  std::size_t frontOffset = 0;
  std::deque<std::string> window;  // the last messages written whole, oldest first
  Clock::time_point retryAt;
  std::chrono::milliseconds backoff;
  bool everConnected = false;
  bool outageReported = false;
  bool finSent = false;    // drain(): our side is shut
  bool confirmed = false;  // drain(): the collector closed after reading all

  std::uint64_t written = 0;  // whole messages, resent ones included
  std::uint64_t resent = 0;
  std::uint64_t dropped = 0;        // queue full
  std::uint64_t droppedReported = 0;
  std::uint64_t sendFailures = 0;   // UDP
};

}  // namespace remote
