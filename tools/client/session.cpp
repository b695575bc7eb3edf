// tools/client/session.cpp
//
// The socket, the waits and the retries of tarvin-remote. Every wait polls
// the stop pipe beside the socket, so a stop is seen at once, even when the
// signal lands just before poll() blocks.
//
// Threads: single-threaded tool.
#include "client/session.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <random>

#include "base/note.h"
#include "base/stop_signal.h"
#include "base/tool_error.h"
#include "client/port_unreachable.h"
#include "common/client_socket.h"
#include "common/datagram_wait.h"
#include "common/socket_address.h"
#include "wire/wire_format.h"

namespace remote {

namespace {

UniqueFd openClientSocket() {
  UniqueFd fd = bindClientSocket(sockaddr_in{});  // every address: answers to broadcasts too
  if (!fd) {
    throw ToolError{ErrorKind::kLocal,
                    std::string("cannot create UDP socket: ") + std::strerror(errno)};
  }
  return fd;
}

}  // namespace

Session::Session(RetryPolicy policy, bool broadcast)
    : retry(policy), broadcast(broadcast), requestId(std::random_device{}()) {
  sockets.push_back(Socket{makeSocket(), {}, 0, 0});
}

Session::~Session() = default;

UniqueFd Session::makeSocket() const {
  UniqueFd fd = openClientSocket();
  const int on = 1;
  if (broadcast && ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    throw ToolError{ErrorKind::kLocal,
                    std::string("cannot enable broadcast: ") + std::strerror(errno)};
  }
  // The destination address of each datagram, for captures: the socket is
  // bound to every address, and a broadcast answer differs from a unicast.
  ::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  // Each datagram then carries the socket's drop count: records the kernel
  // threw away because we fell behind are counted, not just missed.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  reportPortUnreachable(fd.get());  // without it a closed port looks like a silent target
  if (bufferAsked > 0 &&
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bufferAsked, sizeof bufferAsked) != 0) {
    // Not allowed: the kernel caps SO_RCVBUF at net.core.rmem_max instead.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &bufferAsked, sizeof bufferAsked);
  }
  return fd;
}

Session::Channel Session::openChannel(const Endpoint& peer) {
  Socket socket{makeSocket(), peer, 0, 0};
  if (capture) socket.port = htons(::localPort(socket.fd.get()));
  for (Channel channel = kMain + 1; channel < sockets.size(); ++channel) {
    if (!sockets[channel].fd) {
      sockets[channel] = std::move(socket);
      return channel;
    }
  }
  sockets.push_back(std::move(socket));
  return sockets.size() - 1;
}

void Session::closeChannel(Channel channel) {
  if (channel != kMain && channel < sockets.size()) sockets[channel] = Socket{};
}

std::size_t Session::sizeReceiveBuffer(std::size_t bytes) {
  bufferAsked = static_cast<int>(std::min<std::size_t>(bytes, std::numeric_limits<int>::max() / 2));
  for (Socket& socket : sockets) {
    if (!socket.fd) continue;
    if (::setsockopt(socket.fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bufferAsked,
                     sizeof bufferAsked) != 0) {
      ::setsockopt(socket.fd.get(), SOL_SOCKET, SO_RCVBUF, &bufferAsked, sizeof bufferAsked);
    }
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  ::getsockopt(sockets[kMain].fd.get(), SOL_SOCKET, SO_RCVBUF, &granted, &length);
  return static_cast<std::size_t>(granted) / 2;
}

void Session::send(Channel channel, const Endpoint& to, const codec::Bytes& bytes) {
  const int fd = sockets.at(channel).fd.get();
  ssize_t sent = -1;
  // ECONNREFUSED is an earlier datagram's port unreachable, handed to this
  // send, which then did not go out; the error queue keeps it for
  // receive(), and the send is made again.
  for (int attempt = 0; attempt < 4 && sent < 0; ++attempt) {
    sent = ::sendto(fd, bytes.data(), bytes.size(), /*flags=*/0,
                    reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address);
    if (sent < 0 && errno != ECONNREFUSED && errno != EINTR) break;
  }
  if (sent < 0) {
    // Not fatal: the retry loop resends, and a permanent failure shows as
    // "no answer" with the reason given here.
    // A route that is missing is missing for every port of the host: said
    // once for the host, not once per port a sweep tries.
    const bool wholeHost = errno == ENETUNREACH || errno == EHOSTUNREACH;
    const std::string where = wholeHost ? to.text().substr(0, to.text().rfind(':')) : to.text();
    const std::string key = "send " + where + " " + std::strerror(errno);
    if (reported.insert({"send", key}).second) {
      note("warning: cannot send to " + where + ": " + std::strerror(errno));
    }
  }
}

Session::Wait Session::waitReadable(Clock::time_point deadline, pollfd* extra) {
  for (;;) {
    if (stopRequested()) return Wait::kStopped;
    // The stop pipe, the extra descriptor, then the sockets by channel (a
    // closed channel's -1 is left alone by poll()).
    waitSet.assign({{stopWakeFd(), POLLIN, 0}, {-1, 0, 0}});
    if (extra != nullptr) waitSet[1] = {extra->fd, extra->events, 0};
    for (const Socket& socket : sockets) waitSet.push_back({socket.fd.get(), POLLIN, 0});
    int count = pollUntil(waitSet, deadline);
    // A deadline that is due already (a timer, or a handler with output to
    // catch up on) must not hide what the sockets hold: look without waiting.
    if (count == 0) {
      count = ::poll(waitSet.data(), waitSet.size(), /*timeout=*/0);
      if (count < 0 && errno == EINTR) count = 0;
    }
    if (count < 0)
      throw ToolError{ErrorKind::kLocal, std::string("poll failed: ") + std::strerror(errno)};
    if (count == 0) return Wait::kTimeout;
    if (extra != nullptr) extra->revents = waitSet[1].revents;
    // The sockets in turn, starting after the one served last: a busy
    // target's socket, always ready, never keeps the others waiting.
    const std::size_t n = sockets.size();
    for (std::size_t step = 1; step <= n; ++step) {
      const Channel channel = (ready + step) % n;
      const short revents = waitSet[2 + channel].revents;
      const int fd = sockets[channel].fd.get();
      if (fd < 0 || revents == 0) continue;
      // POLLERR: an ICMP error of an earlier send, queued (IP_RECVERR)
      // until read from the error queue.
      if ((revents & POLLERR) != 0) {
        if (const auto refused = readPortUnreachable(fd)) {
          ready = channel;
          lastRefused.address = *refused;
          return Wait::kRefused;
        }
        // An error that came while the receive buffer was full found no
        // room in the queue either: it stays pending as the socket's
        // error, and poll() says POLLERR until it is taken, however long
        // the queue stays empty. Taken, it no longer hides the datagrams
        // behind it; a channel's refusal is its peer's.
        if (takePendingError(fd) == ECONNREFUSED && channel != kMain) {
          ready = channel;
          lastRefused = sockets[channel].peer;
          return Wait::kRefused;
        }
      }
      if ((revents & POLLIN) != 0) {
        ready = channel;
        return Wait::kDatagram;
      }
    }
    if (extra != nullptr && extra->revents != 0) return Wait::kExtraReady;
    // Only errors, now taken: the queues may hold more.
  }
}

Session::Wait Session::receive(Clock::time_point deadline, Received& out, pollfd* extra) {
  ReceiveBatch& batch = single();
  for (;;) {
    const Wait wait = waitReadable(deadline, extra);
    if (wait == Wait::kRefused) out.from = lastRefused;
    if (wait != Wait::kDatagram) return wait;
    if (!readBatch(batch, /*limit=*/1))
      continue;  // EINTR, EAGAIN, or an ICMP error of an earlier send
    out.from.address = batch.from(0);
    out.at = batch.at();
    auto parsed = parse(batch.bytes(0), out.from);
    if (!parsed) continue;
    out.datagram = std::move(*parsed);
    return Wait::kDatagram;
  }
}

Session::Wait Session::receiveBatch(Clock::time_point deadline, ReceiveBatch& batch,
                                    pollfd* extra) {
  for (;;) {
    const Wait wait = waitReadable(deadline, extra);
    if (wait != Wait::kDatagram) return wait;
    if (readBatch(batch, ReceiveBatch::kCapacity)) return Wait::kDatagram;
  }
}

bool Session::readQueued(ReceiveBatch& batch) {
  const std::size_t n = sockets.size();
  for (std::size_t step = 1; step <= n; ++step) {
    ready = (ready + 1) % n;
    if (sockets[ready].fd && readBatch(batch, ReceiveBatch::kCapacity)) return true;
  }
  return false;
}

bool Session::readBatch(ReceiveBatch& batch, std::size_t limit) {
  Socket& socket = sockets[ready];
  batch.prepare();
  const int count = ::recvmmsg(socket.fd.get(), batch.headers(), static_cast<unsigned int>(limit),
                               MSG_DONTWAIT, /*timeout=*/nullptr);
  if (count <= 0) return false;  // EINTR, EAGAIN, or an ICMP error of an earlier send
  batch.received(static_cast<std::size_t>(count), SystemClock::now());
  std::uint32_t total = 0;
  if (batch.dropCount(total)) countDrops(socket, total);
  if (capture) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
      RawDatagram raw{batch.at(), batch.from(i), {}, batch.bytes(i)};
      raw.to.sin_family = AF_INET;
      raw.to.sin_port = socket.port;
      raw.to.sin_addr = batch.to(i);
      capture(raw);
    }
  }
  return true;
}

std::optional<codec::Datagram> Session::parse(codec::ByteSpan bytes, const Endpoint& from) {
  auto parsed = codec::parseDatagram(bytes);
  if (!parsed) {
    reportMalformed(from, codec::Bytes(bytes.begin(), bytes.end()), parsed.error());
    return std::nullopt;
  }
  return std::move(parsed).value();
}

void Session::countDrops(Socket& socket, std::uint32_t total) {
  drops += static_cast<std::uint32_t>(total - socket.dropTotal);  // modulo 2^32: survives the wrap
  socket.dropTotal = total;
}

std::uint64_t Session::readKernelDrops() {
  for (Socket& socket : sockets) {
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (socket.fd && ::getsockopt(socket.fd.get(), SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
        length > SK_MEMINFO_DROPS * sizeof info[0]) {
      countDrops(socket, info[SK_MEMINFO_DROPS]);
    }
  }
  return drops;
}

ReceiveBatch& Session::single() {
  if (!one) one = std::make_unique<ReceiveBatch>();
  return *one;
}

void Session::captureTo(std::function<void(const RawDatagram&)> sink) {
  for (Socket& socket : sockets) {
    if (socket.fd) socket.port = htons(::localPort(socket.fd.get()));
  }
  capture = std::move(sink);
}

void Session::reportMalformed(const Endpoint& from, const codec::Bytes& bytes,
                              const std::string& error) {
  const auto descriptor = codec::descriptorOf(bytes);
  const std::string kind = descriptor ? codec::kindName(*descriptor) : "short datagram";
  if (!reported.insert({kind, from.text()}).second) return;
  note("warning: skipping malformed datagram from " + from.text() + ": " + error + " (further " +
       kind + " faults from this source not shown)");
}

std::optional<codec::Datagram> Session::request(
    const Endpoint& to, const codec::Bytes& bytes,
    const std::function<bool(const codec::Datagram&)>& accept,
    const std::function<void(Received&&)>& other) {
  for (int attempt = 0; attempt <= retry.retries; ++attempt) {
    send(to, bytes);
    const auto deadline = Clock::now() + retry.timeout;
    Received received;
    for (;;) {
      const Wait result = receive(deadline, received);
      if (result == Wait::kStopped) return std::nullopt;
      if (result == Wait::kTimeout) break;
      if (result == Wait::kRefused) {
        if (received.from == to)
          throw ToolError{ErrorKind::kNoAnswer, "nothing listens on " + to.text()};
        continue;
      }
      if (received.from.answersFor(to) && accept(received.datagram))
        return std::move(received.datagram);
      if (other) other(std::move(received));
    }
  }
  return std::nullopt;
}

}  // namespace remote
