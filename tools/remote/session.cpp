// tools/remote/session.cpp
//
// The socket, the waits and the retries of tarvin-remote. Every wait polls
// the stop pipe beside the socket, so a stop is seen at once, even when the
// signal lands just before poll() blocks.
//
// Threads: single-threaded tool.
#include "remote/session.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <random>

#include "common/client_socket.h"
#include "common/datagram_wait.h"
#include "common/socket_address.h"
#include "remote/note.h"
#include "remote/port_unreachable.h"
#include "remote/stop_signal.h"
#include "remote/tool_error.h"
#include "wire_format.h"

namespace remote {

namespace {

UniqueFd openClientSocket() {
  UniqueFd fd = bindClientSocket(sockaddr_in{});  // every address: answers to broadcasts too
  if (!fd) {
    throw ToolError{kExitNoAnswer,
                    std::string("cannot create UDP socket: ") + std::strerror(errno)};
  }
  return fd;
}

}  // namespace

Session::Session(RetryPolicy policy, bool broadcast)
    : retry(policy), socketFd(openClientSocket()), requestId(std::random_device{}()) {
  installStopHandlers();
  const int on = 1;
  if (broadcast && ::setsockopt(socketFd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    throw ToolError{kExitNoAnswer, std::string("cannot enable broadcast: ") + std::strerror(errno)};
  }
  // The destination address of each datagram, for captures: the socket is
  // bound to every address, and a broadcast answer differs from a unicast.
  ::setsockopt(socketFd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  // Each datagram then carries the socket's drop count: records the kernel
  // threw away because we fell behind are counted, not just missed.
  ::setsockopt(socketFd.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
  reportPortUnreachable(socketFd.get());  // without it a closed port looks like a silent target
}

Session::~Session() = default;

std::size_t Session::sizeReceiveBuffer(std::size_t bytes) {
  const int asked =
      static_cast<int>(std::min<std::size_t>(bytes, std::numeric_limits<int>::max() / 2));
  if (::setsockopt(socketFd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0) {
    // Not allowed: the kernel caps SO_RCVBUF at net.core.rmem_max instead.
    ::setsockopt(socketFd.get(), SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  ::getsockopt(socketFd.get(), SOL_SOCKET, SO_RCVBUF, &granted, &length);
  return static_cast<std::size_t>(granted) / 2;
}

void Session::send(const Endpoint& to, const codec::Bytes& bytes) {
  ssize_t sent = -1;
  // ECONNREFUSED is an earlier datagram's port unreachable, handed to this
  // send, which then did not go out; the error queue keeps it for
  // receive(), and the send is made again.
  for (int attempt = 0; attempt < 4 && sent < 0; ++attempt) {
    sent = ::sendto(socketFd.get(), bytes.data(), bytes.size(), /*flags=*/0,
                    reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address);
    if (sent < 0 && errno != ECONNREFUSED && errno != EINTR) break;
  }
  if (sent < 0) {
    // Not fatal: the retry loop resends, and a permanent failure shows as
    // "no answer" with the reason given here.
    const std::string key = "send " + to.text() + " " + std::strerror(errno);
    if (reported.insert({"send", key}).second) {
      note("warning: cannot send to " + to.text() + ": " + std::strerror(errno));
    }
  }
}

Session::Wait Session::waitReadable(Clock::time_point deadline, pollfd* extra) {
  for (;;) {
    if (stopRequested()) return Wait::kStopped;
    pollfd fds[3] = {{socketFd.get(), POLLIN, 0}, {stopWakeFd(), POLLIN, 0}, {-1, 0, 0}};
    if (extra != nullptr) fds[2] = {extra->fd, extra->events, 0};
    int ready = pollUntil(fds, deadline);
    // A deadline that is due already (a timer, or a handler with output to
    // catch up on) must not hide what the socket holds: look without waiting.
    if (ready == 0) {
      ready = ::poll(fds, std::size(fds), /*timeout=*/0);
      if (ready < 0 && errno == EINTR) ready = 0;
    }
    if (ready < 0)
      throw ToolError{kExitNoAnswer, std::string("poll failed: ") + std::strerror(errno)};
    if (ready == 0) return Wait::kTimeout;
    if (extra != nullptr) extra->revents = fds[2].revents;
    // POLLERR: an ICMP error of an earlier send, queued (IP_RECVERR) until
    // read from the error queue.
    if ((fds[0].revents & POLLERR) != 0) {
      if (const auto refused = readPortUnreachable(socketFd.get())) {
        lastRefused.address = *refused;
        return Wait::kRefused;
      }
      // An error that came while the receive buffer was full found no room
      // in the queue either: it stays pending as the socket's error, whose
      // destination nobody knows, and poll() says POLLERR until it is
      // taken, however long the queue stays empty. Taken, it no longer
      // hides the datagrams behind it; the target it was about shows
      // itself by its unanswered renewals.
      takePendingError(socketFd.get());
    }
    if ((fds[0].revents & POLLIN) != 0) return Wait::kDatagram;
    if (extra != nullptr && extra->revents != 0) return Wait::kExtraReady;
    // Only an error, now taken: the queue may hold more.
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

bool Session::readBatch(ReceiveBatch& batch, std::size_t limit) {
  batch.prepare();
  const int count =
      ::recvmmsg(socketFd.get(), batch.headers(), static_cast<unsigned int>(limit), MSG_DONTWAIT,
                 /*timeout=*/nullptr);
  if (count <= 0) return false;  // EINTR, EAGAIN, or an ICMP error of an earlier send
  batch.received(static_cast<std::size_t>(count), SystemClock::now());
  std::uint32_t total = 0;
  if (batch.dropCount(total)) countDrops(total);
  if (capture) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
      RawDatagram raw{batch.at(), batch.from(i), {}, batch.bytes(i)};
      raw.to.sin_family = AF_INET;
      raw.to.sin_port = localPort;
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

void Session::countDrops(std::uint32_t total) {
  drops += static_cast<std::uint32_t>(total - lastDropTotal);  // modulo 2^32: survives the wrap
  lastDropTotal = total;
}

std::uint64_t Session::readKernelDrops() {
  std::uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof info;
  if (::getsockopt(socketFd.get(), SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
      length > SK_MEMINFO_DROPS * sizeof info[0]) {
    countDrops(info[SK_MEMINFO_DROPS]);
  }
  return drops;
}

ReceiveBatch& Session::single() {
  if (!one) one = std::make_unique<ReceiveBatch>();
  return *one;
}

void Session::captureTo(std::function<void(const RawDatagram&)> sink) {
  localPort = htons(::localPort(socketFd.get()));
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
        if (received.from == to) throw ToolError{kExitNoAnswer, "nothing listens on " + to.text()};
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
