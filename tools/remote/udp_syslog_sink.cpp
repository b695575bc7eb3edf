// tools/remote/udp_syslog_sink.cpp
//
// One datagram per message on a connected UDP socket.
//
// Threads: single-threaded; see syslog_sink.h.
#include "remote/udp_syslog_sink.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "remote/note.h"
#include "remote/tool_error.h"

namespace remote {

UdpSyslogSink::UdpSyslogSink(CollectorUrl url) : url(std::move(url)) {
  const sockaddr_in& to = this->url.endpoint.address;
  socket.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    throw ToolError{kExitNoAnswer,
                    "cannot open a UDP socket to " + this->url.text + ": " + std::strerror(errno)};
  }
}

void UdpSyslogSink::push(const std::string& message) {
  // A refused earlier datagram (ICMP port unreachable) is reported on this
  // send and costs this message its turn: try it once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (::send(socket.get(), message.data(), message.size(), MSG_NOSIGNAL) >= 0) {
      ++written;
      return;
    }
    if (errno != ECONNREFUSED) break;
  }
  if (sendFailures++ == 0) {
    note("warning: cannot send to " + url.text + ": " + std::strerror(errno) + " (counting)");
  }
}

bool UdpSyslogSink::report() const {
  std::string text = "sent " + std::to_string(written) + " messages to " + url.text;
  if (sendFailures > 0) text += "; " + std::to_string(sendFailures) + " could not be sent";
  note(text);
  return sendFailures == 0;
}

}  // namespace remote
