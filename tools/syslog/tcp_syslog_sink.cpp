// tools/syslog/tcp_syslog_sink.cpp
//
// The connection state machine, the bounded queue and the resend window of
// the TCP collector.
//
// Threads: single-threaded; see syslog_sink.h.
#include "syslog/tcp_syslog_sink.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "base/note.h"
#include "base/plural.h"
#include "common/datagram_wait.h"

namespace remote {
namespace {

constexpr std::chrono::milliseconds kFirstBackoff{100};
constexpr std::chrono::milliseconds kMaxBackoff{5'000};

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

TcpSyslogSink::TcpSyslogSink(CollectorUrl url, std::size_t queueCapacity, std::size_t resendWindow)
    : url(std::move(url)),
      capacity(queueCapacity),
      windowSize(resendWindow),
      backoff(kFirstBackoff) {
  connect();
}

void TcpSyslogSink::push(std::string_view message) {
  if (queue.size() >= capacity) {
    if (dropped++ == droppedReported) {
      note("warning: queue for " + url.text + " is full (" + std::to_string(capacity) +
           " messages); dropping the oldest");
    }
    // The oldest goes; one already begun on the socket must be finished,
    // or the collector would read a broken frame.
    const bool begun = frontOffset > 0;
    if (begun && queue.size() == 1) return;    // then the new one goes instead
    if (begun) std::swap(queue[0], queue[1]);  // the begun one stays in front
    queue.popFront();
  }
  std::string& framed = queue.pushBack();
  char length[24];
  const auto end = std::to_chars(length, length + sizeof length, message.size()).ptr;
  framed.append(length, end);
  framed += ' ';
  framed.append(message);
}

void TcpSyslogSink::flush() {
  if (state == State::kConnected) writeQueue();
}

pollfd* TcpSyslogSink::waitFor() {
  if (state == State::kWaiting) return nullptr;
  short events = POLLOUT;
  if (state == State::kConnected)
    events = static_cast<short>(POLLIN | (queue.empty() ? 0 : POLLOUT));
  wait = {socket.get(), events, 0};
  return &wait;
}

void TcpSyslogSink::onReady(short revents) {
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

Clock::time_point TcpSyslogSink::nextDeadline(Clock::time_point next) const {
  return state == State::kWaiting ? std::min(next, retryAt) : next;
}

void TcpSyslogSink::onTimers(Clock::time_point now) {
  if (state == State::kWaiting && now >= retryAt) connect();
}

void TcpSyslogSink::connect() {
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

void TcpSyslogSink::onConnected() {
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
    for (std::size_t i = window.size(); i-- > 0;) std::swap(queue.pushFront(), window[i]);
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

void TcpSyslogSink::disconnect(const std::string& why) {
  socket.reset();
  state = State::kWaiting;
  finSent = false;
  frontOffset = 0;  // the message begun on the old connection goes out whole on the next
  retryAt = Clock::now() + backoff;
  if (!outageReported) {
    note("warning: " + std::string(everConnected ? "lost connection to " : "cannot connect to ") +
         url.text + ": " + why + "; retrying, keeping up to " + std::to_string(capacity) +
         " messages");
    outageReported = true;
  }
  backoff = std::min(backoff * 2, kMaxBackoff);
}

void TcpSyslogSink::writeQueue() {
  while (!queue.empty()) {
    std::array<iovec, kWriteBatch> parts;
    const std::size_t count = std::min(queue.size(), parts.size());
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t skip = i == 0 ? frontOffset : 0;
      parts[i] = {queue[i].data() + skip, queue[i].size() - skip};
    }
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(socket.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // POLLOUT says when to go on
      disconnect(errorText(errno));
      return;
    }
    consume(static_cast<std::size_t>(n));
  }
}

void TcpSyslogSink::consume(std::size_t bytes) {
  while (bytes > 0) {
    const std::size_t left = queue.front().size() - frontOffset;
    if (bytes < left) {
      frontOffset += bytes;
      return;
    }
    bytes -= left;
    frontOffset = 0;
    ++written;
    if (windowSize > 0) {
      std::swap(window.pushBack(), queue.front());
      if (window.size() > windowSize) window.popFront();
    }
    queue.popFront();
  }
}

void TcpSyslogSink::drain(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
    if (state == State::kConnected && queue.empty() && !finSent) {
      // Our FIN after the last frame: the collector closes its side once it
      // has read everything, which is the only delivery TCP can show us.
      ::shutdown(socket.get(), SHUT_WR);
      finSent = true;
    }
    pollfd* fd = waitFor();
    const int ready =
        pollUntil({fd, fd != nullptr ? 1u : 0u}, std::min(deadline, nextDeadline(deadline)));
    if (ready < 0) break;
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
  countUnacknowledged();
}

// A collector may keep its side open after our FIN (many do): then what
// its host's TCP acknowledged is all that is known. SIOCOUTQ gives the
// bytes written that it has not, our FIN's one included.
void TcpSyslogSink::countUnacknowledged() {
  int bytes = 0;
  if (state != State::kConnected || !queue.empty() ||
      ::ioctl(socket.get(), SIOCOUTQ, &bytes) != 0) {
    return;
  }
  std::size_t left = static_cast<std::size_t>(std::max(bytes - (finSent ? 1 : 0), 0));
  std::size_t messages = 0;
  for (std::size_t i = window.size(); i > 0 && left > 0; --i, ++messages) {
    left -= std::min(left, window[i - 1].size());
  }
  unacknowledged = messages;
  unacknowledgedBeyondWindow = left > 0;
}

bool TcpSyslogSink::report() const {
  std::string text = "sent " + counted(written, "message") + " to " + url.text;
  if (resent > 0) text += " (" + std::to_string(resent) + " of them again after reconnecting)";
  bool complete = true;
  if (dropped > 0) {
    text += "; dropped " + std::to_string(dropped) + " (queue full)";
    complete = false;
  }
  if (!queue.empty()) {
    text +=
        "; " + std::to_string(queue.size()) + " not delivered (" +
        (state == State::kConnected ? "the collector did not take them" : "collector unreachable") +
        ")";
    complete = false;
  } else if (!confirmed && !window.empty()) {
    if (!unacknowledged) {
      text += "; the collector did not confirm the last " + std::to_string(window.size());
      complete = false;
    } else if (*unacknowledged > 0) {
      text += "; the collector's host did not acknowledge the last " +
              std::to_string(*unacknowledged) + (unacknowledgedBeyondWindow ? " or more" : "");
      complete = false;
    } else {
      // TCP has them on the collector's host; only the collector's reading
      // them is unconfirmed, and no syslog collector confirms that.
      text +=
          "; its host acknowledged every one, but the collector kept its side open, so "
          "that it read the last " +
          std::to_string(window.size()) + " is not confirmed";
    }
  }
  note(text);
  return complete;
}

}  // namespace remote
