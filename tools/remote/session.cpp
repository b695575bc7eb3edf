// tools/remote/session.cpp
//
// The socket, the waits, the retries and target discovery of tarvin-remote.
// SIGINT and SIGTERM write one byte into a non-blocking pipe that every wait
// polls beside the socket, so a stop is seen at once, even when the signal
// lands just before poll() blocks.
//
// Threads: single-threaded tool; the signal handler touches only the pipe.
#include "remote/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iostream>
#include <random>
#include <vector>

#include "protocol/wire_format.h"

namespace remote {
namespace {

// Written by the signal handler, read by every wait. Both ends stay open for
// the life of the process: the handler may fire at any time.
int gStopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const int saved = errno;  // the interrupted code may be about to read errno
  const char byte = 's';
  [[maybe_unused]] const ssize_t ignored = ::write(gStopPipe[1], &byte, 1);  // full pipe: already stopping
  errno = saved;
}

void installStopHandlers() {
  if (gStopPipe[0] >= 0) return;
  if (::pipe2(gStopPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    throw ToolError{kExitNoAnswer, std::string("cannot create stop pipe: ") + std::strerror(errno)};
  }
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

void note(const std::string& text) { std::cerr << "tarvin-remote: " << text << std::endl; }

std::string Endpoint::text() const {
  char host[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

bool Endpoint::answersFor(const Endpoint& target) const {
  return address.sin_port == target.address.sin_port;
}

TargetAddress parseTargetAddress(const std::string& text) {
  TargetAddress out;
  const std::size_t colon = text.rfind(':');
  out.host = text.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string portText = text.substr(colon + 1);
    unsigned int port = 0;
    const char* end = portText.data() + portText.size();
    const auto [stop, ec] = std::from_chars(portText.data(), end, port);
    if (portText.empty() || ec != std::errc() || stop != end || port == 0 || port > 65535) {
      throw ToolError{kExitUsage, "invalid port '" + portText + "' in '" + text + "'"};
    }
    out.port = static_cast<std::uint16_t>(port);
  }
  if (out.host.empty()) throw ToolError{kExitUsage, "no host in '" + text + "'"};
  return out;
}

Endpoint resolve(const std::string& host, std::uint16_t port) {
  Endpoint endpoint;
  endpoint.address.sin_family = AF_INET;
  endpoint.address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &endpoint.address.sin_addr) == 1) return endpoint;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    throw ToolError{kExitUsage, "cannot resolve host '" + host + "': " + ::gai_strerror(rc)};
  }
  endpoint.address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return endpoint;
}

Session::Session(RetryPolicy policy, bool broadcast)
    : retry(policy), requestId(std::random_device{}()) {
  installStopHandlers();
  socketFd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socketFd) {
    throw ToolError{kExitNoAnswer, std::string("cannot create UDP socket: ") + std::strerror(errno)};
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
}

Session::~Session() = default;

void Session::send(const Endpoint& to, const codec::Bytes& bytes) {
  const ssize_t sent = ::sendto(socketFd.get(), bytes.data(), bytes.size(), /*flags=*/0,
                                reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address);
  if (sent < 0) {
    // Not fatal: the retry loop resends, and a permanent failure shows as
    // "no answer" with the reason given here.
    const std::string key = "send " + to.text() + " " + std::strerror(errno);
    if (reported.insert({"send", key}).second) {
      note("warning: cannot send to " + to.text() + ": " + std::strerror(errno));
    }
  }
}

bool Session::stopRequested() const {
  char byte;
  if (::read(gStopPipe[0], &byte, 1) == 1) {
    // Leave it readable for every later check and wait.
    [[maybe_unused]] const ssize_t ignored = ::write(gStopPipe[1], &byte, 1);
    return true;
  }
  return false;
}

void Session::clearStop() {
  char bytes[16];
  while (::read(gStopPipe[0], bytes, sizeof bytes) > 0) {
  }
}

Session::Wait Session::receive(Clock::time_point deadline, Received& out, pollfd* extra) {
  std::array<std::uint8_t, wire::kMaxDatagramSize> buffer;
  for (;;) {
    if (stopRequested()) return Wait::kStopped;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return Wait::kTimeout;
    pollfd fds[3] = {{socketFd.get(), POLLIN, 0}, {gStopPipe[0], POLLIN, 0}, {-1, 0, 0}};
    if (extra != nullptr) fds[2] = {extra->fd, extra->events, 0};
    const int ready = ::poll(fds, 3, static_cast<int>(std::min<long long>(left.count(), 60'000)));
    if (ready < 0) {
      if (errno == EINTR) continue;  // a signal: the pipe tells which
      throw ToolError{kExitNoAnswer, std::string("poll failed: ") + std::strerror(errno)};
    }
    if (extra != nullptr) extra->revents = fds[2].revents;
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
  note("warning: skipping malformed datagram from " + from.text() + ": " + error +
       " (further " + kind + " faults from this source not shown)");
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
      if (received.from.answersFor(to) && accept(received.datagram)) return std::move(received.datagram);
      if (other) other(std::move(received));
    }
  }
  return std::nullopt;
}

Endpoint Session::findTarget(const std::string& targetText) {
  const TargetAddress given = parseTargetAddress(targetText);
  if (given.port) return resolve(given.host, *given.port);

  const Endpoint host = resolve(given.host, 0);
  const codec::Bytes drq = codec::buildDiscoveryRequest();
  for (int attempt = 0; attempt <= retry.retries; ++attempt) {
    for (std::uint16_t i = 0; i < wire::kPortCount; ++i) {
      Endpoint port = host;
      port.address.sin_port = htons(static_cast<std::uint16_t>(wire::kFirstPort + i));
      send(port, drq);
    }
    // The first answer ends the wait; answers already queued beside it are
    // looked at too, so with several targets the lowest port wins.
    std::optional<std::pair<Endpoint, std::string>> best;
    auto deadline = Clock::now() + retry.timeout;
    Received received;
    while (receive(deadline, received) == Wait::kDatagram) {
      const auto* response = std::get_if<codec::DiscoveryResponse>(&received.datagram);
      if (response == nullptr) continue;
      // Keep talking to the address the user gave, on the port that answered.
      Endpoint answered = host;
      answered.address.sin_port = received.from.address.sin_port;
      if (!best || ntohs(answered.address.sin_port) < ntohs(best->first.address.sin_port)) {
        best.emplace(answered, response->applicationName);
      }
      deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
    }
    if (stopRequested()) throw ToolError{kExitNoAnswer, "interrupted while looking for a target"};
    if (best) {
      note("using target " + best->first.text() + " (" + best->second + ")");
      return best->first;
    }
  }
  throw ToolError{kExitNoAnswer, "no target answered on " + given.host + " ports " +
                                     std::to_string(wire::kFirstPort) + "-" +
                                     std::to_string(wire::kFirstPort + wire::kPortCount - 1)};
}

}  // namespace remote
