// tools/client/port_unreachable.cpp
//
// IP_RECVERR and the error queue. An entry's name is the destination of
// the refused datagram; its control message says what the error was, and
// only a port unreachable (ECONNREFUSED from an ICMP origin) means that
// no socket is bound there.
//
// Threads: see port_unreachable.h.
#include "client/port_unreachable.h"

#include <linux/errqueue.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace remote {

bool reportPortUnreachable(int fd) {
  const int on = 1;
  return ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
}

std::optional<sockaddr_in> readPortUnreachable(int fd) {
  sockaddr_in destination{};
  char payload[64];  // the refused datagram's start; only its being there matters
  iovec data{payload, sizeof payload};
  // IP_PKTINFO and the drop count come along when the socket asked for them.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(std::uint32_t)) +
                                CMSG_SPACE(sizeof(sock_extended_err) + sizeof(sockaddr_in))];
  msghdr message{};
  message.msg_name = &destination;
  message.msg_namelen = sizeof destination;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return std::nullopt;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
    sock_extended_err error;
    std::memcpy(&error, CMSG_DATA(c), sizeof error);
    if (error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_errno == ECONNREFUSED) return destination;
  }
  return std::nullopt;
}

int takePendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  return error;
}

}  // namespace remote
