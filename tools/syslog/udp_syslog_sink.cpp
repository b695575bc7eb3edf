// tools/syslog/udp_syslog_sink.cpp
//
// One datagram per message on a connected UDP socket.
//
// Threads: single-threaded; see syslog_sink.h.
#include "syslog/udp_syslog_sink.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/note.h"
#include "base/plural.h"
#include "base/tool_error.h"

namespace remote {

UdpSyslogSink::UdpSyslogSink(CollectorUrl url) : url(std::move(url)) {
  const sockaddr_in& to = this->url.endpoint.address;
  socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    throw ToolError{ErrorKind::kLocal,
                    "cannot open a UDP socket to " + this->url.text + ": " + std::strerror(errno)};
  }
}

void UdpSyslogSink::push(std::string_view message) {
  pending[pendingCount++].assign(message);
  if (pendingCount == kBatch) flush();
}

void UdpSyslogSink::flush() {
  for (std::size_t i = 0; i < pendingCount; ++i) {
    vectors[i] = {pending[i].data(), pending[i].size()};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  std::size_t sent = 0;
  while (sent < pendingCount) {
    const int n = ::sendmmsg(socket.get(), headers.data() + sent,
                             static_cast<unsigned int>(pendingCount - sent), MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    // An earlier datagram came back as port unreachable: that message was
    // not delivered. The error is used up; this one gets its turn.
    if (errno == ECONNREFUSED) {
      if (refused++ == 0)
        note("warning: " + url.text + " refused a message (nobody listening?); counting");
      continue;
    }
    if (sendFailures++ == 0) {
      note("warning: cannot send to " + url.text + ": " + std::strerror(errno) + " (counting)");
    }
    ++sent;  // that one is lost; the rest get their turn
  }
  pendingCount = 0;
}

void UdpSyslogSink::drain(std::chrono::milliseconds /*limit*/) { flush(); }

bool UdpSyslogSink::report() const {
  std::string text = "sent " + counted(written, "message") + " to " + url.text;
  if (sendFailures > 0) text += "; " + std::to_string(sendFailures) + " could not be sent";
  if (refused > 0)
    text += "; " + std::to_string(refused) + " refused by the collector (not delivered)";
  note(text);
  return sendFailures == 0 && refused == 0;
}

}  // namespace remote
