// tools/remote/session.cpp
//
// The socket, the waits and the retries of tarvin-remote. Every wait polls
// the stop pipe beside the socket, so a stop is seen at once, even when the
// signal lands just before poll() blocks.
//
// Threads: single-threaded tool.
#include "remote/session.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>

#include "common/datagram_wait.h"
#include "protocol/wire_format.h"
#include "remote/note.h"
#include "remote/port_unreachable.h"
#include "remote/stop_signal.h"
#include "remote/tool_error.h"

namespace remote {

Session::Session(RetryPolicy policy, bool broadcast)
    : retry(policy), requestId(std::random_device{}()) {
  installStopHandlers();
  socketFd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socketFd) {
    throw ToolError{kExitNoAnswer,
                    std::string("cannot create UDP socket: ") + std::strerror(errno)};
  }
  const int on = 1;
  if (broadcast && ::setsockopt(socketFd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    throw ToolError{kExitNoAnswer, std::string("cannot enable broadcast: ") + std::strerror(errno)};
  }
  // A tail of a busy host receives bursts; a larger buffer keeps them from
  // being dropped before we read them. The kernel caps it, which is fine.
  const int bufferSize = 4 << 20;
  ::setsockopt(socketFd.get(), SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
  // The destination address of each datagram, for captures: the socket is
  // bound to every address, and a broadcast answer differs from a unicast.
  ::setsockopt(socketFd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  reportPortUnreachable(socketFd.get());  // without it a closed port looks like a silent target
}

Session::~Session() = default;

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

Session::Wait Session::receive(Clock::time_point deadline, Received& out, pollfd* extra) {
  std::array<std::uint8_t, wire::kMaxDatagramSize> buffer;
  for (;;) {
    if (stopRequested()) return Wait::kStopped;
    pollfd fds[3] = {{socketFd.get(), POLLIN, 0}, {stopWakeFd(), POLLIN, 0}, {-1, 0, 0}};
    if (extra != nullptr) fds[2] = {extra->fd, extra->events, 0};
    const int ready = pollUntil(fds, deadline);
    if (ready < 0)
      throw ToolError{kExitNoAnswer, std::string("poll failed: ") + std::strerror(errno)};
    if (ready == 0) return Wait::kTimeout;
    if (extra != nullptr) extra->revents = fds[2].revents;
    if ((fds[0].revents & POLLERR) != 0) {
      if (const auto refused = readPortUnreachable(socketFd.get())) {
        out.from.address = *refused;
        return Wait::kRefused;
      }
      continue;  // another error, now read; the queue may hold more
    }
    if ((fds[0].revents & POLLIN) == 0) {
      if (extra != nullptr && extra->revents != 0) return Wait::kExtraReady;
      continue;
    }

    sockaddr_in from{};
    iovec data{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t length = ::recvmsg(socketFd.get(), &message, MSG_DONTWAIT);
    if (length < 0) continue;  // EINTR, EAGAIN, or an ICMP error of an earlier send
    out.from.address = from;
    out.at = SystemClock::now();
    const codec::ByteSpan bytes(buffer.data(), static_cast<std::size_t>(length));
    if (capture) {
      RawDatagram raw{out.at, from, {}, bytes};
      raw.to.sin_family = AF_INET;
      raw.to.sin_port = localPort;
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          in_pktinfo info;
          std::memcpy(&info, CMSG_DATA(c), sizeof info);
          raw.to.sin_addr = info.ipi_addr;
        }
      }
      capture(raw);
    }
    auto parsed = codec::parseDatagram(bytes);
    if (!parsed) {
      reportMalformed(out.from, codec::Bytes(bytes.begin(), bytes.end()), parsed.error());
      continue;
    }
    out.datagram = std::move(parsed).value();
    return Wait::kDatagram;
  }
}

void Session::captureTo(std::function<void(const RawDatagram&)> sink) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  // Unbound until the first send: sending nothing would leave port 0, so
  // bind the ephemeral port now, as the first sendto() would.
  local.sin_family = AF_INET;
  if (::getsockname(socketFd.get(), reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
      local.sin_port == 0) {
    ::bind(socketFd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local);
    length = sizeof local;
    ::getsockname(socketFd.get(), reinterpret_cast<sockaddr*>(&local), &length);
  }
  localPort = local.sin_port;
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
