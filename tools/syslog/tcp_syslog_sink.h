// tools/syslog/tcp_syslog_sink.h
//
// The TCP collector of forward: octet-counted frames (RFC 6587) over a
// connection that never blocks the loop that receives the records. It
// connects and writes without blocking, keeps what it cannot write yet in
// a bounded queue, and reconnects with a growing pause while the
// collector is away: waiting (to reconnect) -> connecting -> connected,
// and back to waiting on any error or when the collector closes.
//
// A write that succeeded is not a delivery: what sat in our socket or the
// collector's when the connection went down is gone. So the sink keeps the
// last `resendWindow` messages it wrote and sends them again after every
// reconnect; the collector may see a few twice, and sees none go missing
// that the window held. A full queue drops its oldest message; every drop
// is counted and said on stderr, never silent.
//
// Messages wait in the queue until the end of the receive batch (flush()),
// then go out in one sendmsg() as far as the socket takes them: a gather
// write like writev(), with MSG_NOSIGNAL, so a collector gone away is an
// error to reconnect after rather than a SIGPIPE that ends forward.
//
// Threads: single-threaded; see syslog_sink.h.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/unique_fd.h"
#include "syslog/string_ring.h"
#include "syslog/syslog_sink.h"

namespace remote {

class TcpSyslogSink final : public SyslogSink {
 public:
  // Starts connecting at once; a collector that is not there yet is a
  // reason to wait, not a failure.
  TcpSyslogSink(CollectorUrl url, std::size_t queueCapacity, std::size_t resendWindow);

  void push(std::string_view message) override;
  void flush() override;
  // The socket while connecting or connected; nullptr while waiting to
  // reconnect (nextDeadline() says until when).
  pollfd* waitFor() override;
  void onReady(short revents) override;
  Clock::time_point nextDeadline(Clock::time_point next) const override;
  void onTimers(Clock::time_point now) override;
  // Writes the queue and waits until the collector has read everything
  // (it closes its side after our FIN), reconnecting and resending as
  // usual, until `limit` has passed.
  void drain(std::chrono::milliseconds limit) override;
  bool report() const override;

 private:
  void connect();
  void onConnected();
  void disconnect(const std::string& why);
  void writeQueue();
  // Takes `bytes` just written off the front of the queue.
  void consume(std::size_t bytes);
  // At the end of drain(): sets `unacknowledged`.
  void countUnacknowledged();

  // Messages a sendmsg() takes at most: a full receive batch and more.
  static constexpr std::size_t kWriteBatch = 128;

  enum class State { kWaiting, kConnecting, kConnected };

  const CollectorUrl url;
  const std::size_t capacity;
  const std::size_t windowSize;
  UniqueFd socket;
  State state = State::kWaiting;
  pollfd wait{};

  StringRing queue;  // framed, not yet written; front written up to frontOffset
  std::size_t frontOffset = 0;
  StringRing window;  // the last messages written whole, oldest first
  Clock::time_point retryAt;
  std::chrono::milliseconds backoff;
  bool everConnected = false;
  bool outageReported = false;
  bool finSent = false;    // drain(): our side is shut
  bool confirmed = false;  // drain(): the collector closed after reading all
  // drain() without that close: how many of the last messages written the
  // collector's host had not acknowledged (TCP) by then; nullopt when not
  // known (no connection left).
  std::optional<std::size_t> unacknowledged;
  bool unacknowledgedBeyondWindow = false;  // older ones too, which the window no longer holds

  std::uint64_t written = 0;  // whole messages, resent ones included
  std::uint64_t resent = 0;
  std::uint64_t dropped = 0;  // queue full
  std::uint64_t droppedReported = 0;
};

}  // namespace remote
