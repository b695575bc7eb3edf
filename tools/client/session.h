// tools/client/session.h
//
// tarvin-remote's conversation with targets: UDP sockets on ephemeral ports
// (never one of the targets' own; one, and for a follower one more per
// target), waiting for datagrams with a
// deadline, and requests retried on timeout. Every received datagram,
// malformed ones included, can also be handed to a capture (tail --pcap).
//
// Datagrams the codec refuses are reported on stderr once per kind and
// source and then skipped: a peer that sends garbage must not end a tail.
// Every wait ends early on a stop request (stop_signal.h), once the command
// has installed the stop handlers.
//
// Followers read in batches (receiveBatch(): one poll() and one
// recvmmsg() for up to 64 datagrams) into a buffer sized for bursts, and
// the socket counts what it drops when that buffer is full
// (SO_RXQ_OVFL), so a client that falls behind says so.
//
// A follower gives each target a socket of its own (a channel): a target
// registers that socket's port, so its records fill a buffer no other
// target shares, and a flood costs its neighbours neither records nor
// confirms. Waits serve the ready sockets in turn, one batch each, so a
// quiet target is read between any two batches of a busy one. The
// session's own socket (channel 0) keeps the requests whose answers must
// not drown: discovery, level descriptions, the one-shot commands.
//
// Threads: one thread per Session; a Session shares nothing with another,
// so threads that each make their own (the web console's level requests)
// may run at once.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/clocks.h"
#include "client/receive_batch.h"
#include "codec/client_codec.h"
#include "common/unique_fd.h"
#include "model/endpoint.h"
#include "model/raw_datagram.h"

namespace remote {

struct Received {
  codec::Datagram datagram;
  Endpoint from;
  SystemClock::time_point at;  // when recvmsg() returned it
};

struct RetryPolicy {
  std::chrono::milliseconds timeout{500};
  int retries = 3;  // resends after the first attempt
};

class Session {
 public:
  // Opens the socket (SO_BROADCAST when asked). Installs no signal handler:
  // a command that wants Ctrl-C to end its waits installs them
  // (installStopHandlers()), a library user such as the web console's
  // level control or a test is left the signals as it set them. Throws
  // ToolError when the socket cannot be made.
  explicit Session(RetryPolicy policy, bool broadcast = false);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const RetryPolicy& policy() const { return retry; }

  // A socket's number: kMain is the session's own, made with it.
  using Channel = std::size_t;
  static constexpr Channel kMain = 0;
  // Opens a socket of its own for `peer`, made as the session's is and
  // with its receive buffer. Throws ToolError when it cannot be made.
  Channel openChannel(const Endpoint& peer);
  void closeChannel(Channel channel);

  void send(const Endpoint& to, const codec::Bytes& bytes) { send(kMain, to, bytes); }
  void send(Channel channel, const Endpoint& to, const codec::Bytes& bytes);

  // Sizes the receive buffer for bursts: SO_RCVBUFFORCE where that is
  // allowed (CAP_NET_ADMIN), else SO_RCVBUF up to net.core.rmem_max.
  // Returns the size granted, as comparable to `bytes` (the kernel keeps
  // twice that for its bookkeeping).
  std::size_t sizeReceiveBuffer(std::size_t bytes);

  enum class Wait { kDatagram, kTimeout, kStopped, kExtraReady, kRefused };
  // Waits until `deadline` for one datagram the codec accepts. With
  // `extra`, also waits for that descriptor's events (a collector's
  // socket): extra->revents says what it has, also beside a datagram, and
  // kExtraReady is returned when it alone is ready. kRefused: a datagram
  // we sent to out.from met a closed port (port_unreachable.h).
  Wait receive(Clock::time_point deadline, Received& out, pollfd* extra = nullptr);

  // The same wait, then up to a batch of datagrams in one recvmmsg(), as
  // they came (parse() them); each also goes to the capture. kDatagram
  // means at least one, kRefused that a datagram to refused() met a closed
  // port. A stop request is seen once per call.
  Wait receiveBatch(Clock::time_point deadline, ReceiveBatch& batch, pollfd* extra = nullptr);

  // Up to a batch of what the socket holds already, without waiting and
  // whatever a stop request says; false when it holds nothing.
  bool readQueued(ReceiveBatch& batch);

  // Where the datagram went that the last kRefused was about: read from
  // the error queue, or a channel's peer when the refusal found no room
  // there (the buffer was full) and only the socket's error says it.
  const Endpoint& refused() const { return lastRefused; }

  // Parses one received datagram; a malformed one is reported (once per
  // kind and source) and gives nullopt.
  std::optional<codec::Datagram> parse(codec::ByteSpan bytes, const Endpoint& from);

  // Datagrams the socket dropped for want of buffer space, as far as the
  // datagrams received so far tell.
  std::uint64_t kernelDrops() const { return drops; }
  // Asks the socket itself (SO_MEMINFO), which also counts drops after
  // the last datagram received; at the end of a follow.
  std::uint64_t readKernelDrops();

  // Hands every datagram received from now on to `capture`, before parsing.
  void captureTo(std::function<void(const RawDatagram&)> capture);

  // Sends `bytes` to `to` and waits for a datagram from `to` that `accept`
  // takes, resending after each timeout. Datagrams that do not match go to
  // `other` (when given) so the caller loses none of them. nullopt when no
  // answer came or a stop was requested; throws ToolError when `to` is a
  // closed port ("nothing listens on HOST:PORT").
  std::optional<codec::Datagram> request(const Endpoint& to, const codec::Bytes& bytes,
                                         const std::function<bool(const codec::Datagram&)>& accept,
                                         const std::function<void(Received&&)>& other = {});

  // A fresh request id for SLV and GLVD.
  std::uint32_t nextRequestId() { return requestId++; }

 private:
  void reportMalformed(const Endpoint& from, const codec::Bytes& bytes, const std::string& error);
  struct Socket {
    UniqueFd fd;
    Endpoint peer;                // of a channel; none for kMain
    std::uint16_t port = 0;       // local, network order; for captures
    std::uint32_t dropTotal = 0;  // the socket's own 32-bit count, as last seen
  };
  // Makes a socket with the session's options and buffer size.
  UniqueFd makeSocket() const;
  // Waits for the sockets (and `extra`); kDatagram when `ready` has
  // something, kRefused when one of its datagrams met a closed port.
  Wait waitReadable(Clock::time_point deadline, pollfd* extra);
  void countDrops(Socket& socket, std::uint32_t total);
  // One recvmmsg() of up to `limit` datagrams from `ready` into `batch`,
  // handed to the capture; false when nothing could be read.
  bool readBatch(ReceiveBatch& batch, std::size_t limit);
  // The batch receive() reads one datagram into, made on first use: the
  // one-shot commands never follow.
  ReceiveBatch& single();

  RetryPolicy retry;
  bool broadcast;
  int bufferAsked = 0;  // 0: the system's default
  // By channel; a closed channel's slot has no descriptor until reused.
  std::vector<Socket> sockets;
  std::vector<pollfd> waitSet;  // reused by every wait
  Channel ready = kMain;        // the socket the last wait found ready
  std::function<void(const RawDatagram&)> capture;
  std::uint32_t requestId;
  std::unique_ptr<ReceiveBatch> one;
  std::uint64_t drops = 0;
  Endpoint lastRefused;
  std::set<std::pair<std::string, std::string>> reported;  // (kind, source)
};

}  // namespace remote
