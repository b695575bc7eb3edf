// tools/remote/syslog_sink.cpp
//
// The UDP and TCP collectors of forward. UDP sends each message at once on
// a connected socket and counts what the kernel refused. TCP runs a small
// state machine: waiting (to reconnect) -> connecting -> connected, and
// back to waiting on any error or when the collector closes.
//
// Threads: single-threaded; see syslog_sink.h.
#include "remote/syslog_sink.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "remote/note.h"
#include "remote/tool_error.h"

namespace remote {
namespace {

constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kMaxBackoff{5'000};
constexpr std::uint16_t kDefaultSyslogPort = 514;

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

CollectorUrl parseCollectorUrl(const std::string& url) {
  CollectorUrl out;
  out.text = url;
  const std::size_t scheme = url.find("://");
  const std::string name = scheme == std::string::npos ? "" : url.substr(0, scheme);
  if (name == "udp") {
    out.transport = CollectorUrl::Transport::kUdp;
  } else if (name == "tcp") {
    out.transport = CollectorUrl::Transport::kTcp;
  } else {
    throw ToolError{kExitUsage, "--to: '" + url + "' is not udp://HOST[:PORT] or tcp://HOST[:PORT]"};
  }
  const TargetAddress address = parseTargetAddress(url.substr(scheme + 3));
  out.endpoint = resolve(address.host, address.port.value_or(kDefaultSyslogPort));
  return out;
}

SyslogSink::SyslogSink(CollectorUrl url, std::size_t queueCapacity, std::size_t resendWindow)
    : url(std::move(url)), capacity(queueCapacity), windowSize(resendWindow), backoff(kFirstBackoff) {
  if (this->url.transport == CollectorUrl::Transport::kTcp) {
    connect();
    return;
  }
  socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&this->url.endpoint.address),
                           sizeof this->url.endpoint.address) != 0) {
    throw ToolError{kExitNoAnswer, "cannot open a UDP socket to " + this->url.text + ": " + errorText(errno)};
  }
  state = State::kConnected;
}

void SyslogSink::push(const std::string& message) {
  if (url.transport == CollectorUrl::Transport::kUdp) {
    // A refused earlier datagram (ICMP port unreachable) is reported on
    // this send and costs this message its turn: try it once more.
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (::send(socket.get(), message.data(), message.size(), MSG_NOSIGNAL) >= 0) {
        ++written;
        return;
      }
      if (errno != ECONNREFUSED) break;
    }
    if (sendFailures++ == 0) note("warning: cannot send to " + url.text + ": " + errorText(errno) + " (counting)");
    return;
  }
  if (queue.size() >= capacity) {
    if (dropped++ == droppedReported) {
      note("warning: queue for " + url.text + " is full (" + std::to_string(capacity) +
           " messages); dropping the oldest");
    }
    // The oldest goes; one already begun on the socket must be finished,
    // or the collector would read a broken frame.
    const bool begun = frontOffset > 0;
    if (begun && queue.size() == 1) return;  // then the new one goes instead
    queue.erase(queue.begin() + (begun ? 1 : 0));
  }
  queue.push_back(std::to_string(message.size()) + ' ' + message);
  if (state == State::kConnected) writeQueue();
}

pollfd* SyslogSink::waitFor() {
  if (url.transport == CollectorUrl::Transport::kUdp || state == State::kWaiting) return nullptr;
  short events = POLLOUT;
  if (state == State::kConnected) events = static_cast<short>(POLLIN | (queue.empty() ? 0 : POLLOUT));
  wait = {socket.get(), events, 0};
  return &wait;
}

void SyslogSink::onReady(short revents) {
  if (state == State::kConnecting) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      disconnect(errorText(error));
    } else {
      onConnected();
    }
    return;
  }
  if (state != State::kConnected) return;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    char scratch[512];  // a collector has nothing to say; read to see it close
    const ssize_t n = ::recv(socket.get(), scratch, sizeof scratch, MSG_DONTWAIT);
    if (n == 0) {
      disconnect("closed by the collector");
      return;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      disconnect(errorText(errno));
      return;
    }
  }
  if (revents & POLLOUT) writeQueue();
}

Clock::time_point SyslogSink::nextDeadline(Clock::time_point next) const {
  return state == State::kWaiting && url.transport == CollectorUrl::Transport::kTcp ? std::min(next, retryAt)
                                                                                    : next;
}

void SyslogSink::onTimers(Clock::time_point now) {
  if (url.transport == CollectorUrl::Transport::kTcp && state == State::kWaiting && now >= retryAt) {
    connect();
  }
}

void SyslogSink::connect() {
  socket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket) {
    disconnect("cannot create a TCP socket: " + errorText(errno));
    return;
  }
  const int rc = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&url.endpoint.address),
                           sizeof url.endpoint.address);
  if (rc == 0) {
    onConnected();
  } else if (errno == EINPROGRESS) {
    state = State::kConnecting;
  } else {
    disconnect(errorText(errno));
  }
}

void SyslogSink::onConnected() {
  state = State::kConnected;
  backoff = kFirstBackoff;
  if (everConnected) {
    std::string text = "reconnected to " + url.text;
    if (!window.empty()) {
      text += "; sending the last " + std::to_string(window.size()) +
              " messages again (the collector may see some twice)";
    }
    note(text);
    resent += window.size();
    queue.insert(queue.begin(), std::make_move_iterator(window.begin()), std::make_move_iterator(window.end()));
    window.clear();
  } else if (outageReported) {
    note("connected to " + url.text);
  }
  if (dropped > droppedReported) {
    note("dropped " + std::to_string(dropped - droppedReported) + " messages while " + url.text +
         " was unreachable (queue full)");
    droppedReported = dropped;
  }
  everConnected = true;
  outageReported = false;
  writeQueue();
}

void SyslogSink::disconnect(const std::string& why) {
  socket.reset();
  state = State::kWaiting;
  finSent = false;
  frontOffset = 0;  // the message begun on the old connection goes out whole on the next
  retryAt = Clock::now() + backoff;
  if (!outageReported) {
    note("warning: " + std::string(everConnected ? "lost connection to " : "cannot connect to ") + url.text +
         ": " + why + "; retrying, keeping up to " + std::to_string(capacity) + " messages");
    outageReported = true;
  }
  backoff = std::min(backoff * 2, kMaxBackoff);
}

void SyslogSink::writeQueue() {
  while (!queue.empty()) {
    const std::string& front = queue.front();
    const ssize_t n = ::send(socket.get(), front.data() + frontOffset, front.size() - frontOffset,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // POLLOUT says when to go on
      disconnect(errorText(errno));
      return;
    }
    frontOffset += static_cast<std::size_t>(n);
    if (frontOffset < front.size()) continue;
    frontOffset = 0;
    ++written;
    if (windowSize > 0) {
      window.push_back(std::move(queue.front()));
      if (window.size() > windowSize) window.pop_front();
    }
    queue.pop_front();
  }
}

void SyslogSink::drain(std::chrono::milliseconds limit) {
  if (url.transport == CollectorUrl::Transport::kUdp) return;
  const auto deadline = Clock::now() + limit;
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    if (state == State::kConnected && queue.empty() && !finSent) {
      // Our FIN after the last frame: the collector closes its side once it
      // has read everything, which is the only delivery TCP can show us.
      ::shutdown(socket.get(), SHUT_WR);
      finSent = true;
    }
    pollfd* fd = waitFor();
    const auto until = std::min(deadline, nextDeadline(deadline));
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    const int ready = ::poll(fd, fd != nullptr ? 1 : 0, static_cast<int>(std::max<long long>(ms, 0)));
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && finSent && state == State::kConnected) {
      char scratch[512];
      const ssize_t n = ::recv(socket.get(), scratch, sizeof scratch, MSG_DONTWAIT);
      if (n == 0) {
        confirmed = true;
        window.clear();
        return;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) disconnect(errorText(errno));
    } else if (ready > 0) {
      onReady(fd->revents);
    }
    onTimers(Clock::now());
  }
}

bool SyslogSink::report() const {
  std::string text = "sent " + std::to_string(written) + " messages to " + url.text;
  if (resent > 0) text += " (" + std::to_string(resent) + " of them again after reconnecting)";
  bool complete = true;
  if (url.transport == CollectorUrl::Transport::kUdp) {
    if (sendFailures > 0) {
      text += "; " + std::to_string(sendFailures) + " could not be sent";
      complete = false;
    }
    note(text);
    return complete;
  }
  if (dropped > 0) {
    text += "; dropped " + std::to_string(dropped) + " (queue full)";
    complete = false;
  }
  if (!queue.empty()) {
    text += "; " + std::to_string(queue.size()) + " not delivered (collector unreachable)";
    complete = false;
  } else if (!confirmed && !window.empty()) {
    text += "; the collector did not confirm the last " + std::to_string(window.size());
    complete = false;
  }
  note(text);
  return complete;
}

}  // namespace remote
