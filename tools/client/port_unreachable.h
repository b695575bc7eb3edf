// tools/client/port_unreachable.h
//
// "Nothing listens there": the ICMP port unreachable a host sends back for
// a datagram to a closed UDP port. The session's socket is not connected
// (it talks to many targets), so the kernel reports such errors only with
// IP_RECVERR set, on the socket's error queue, naming the destination of
// the datagram that was refused. That lets a command say at once that no
// target runs on HOST:PORT instead of waiting out its retries.
//
// The kernel also hands the error to the socket's next send, which then
// fails with ECONNREFUSED without sending: Session::send() sends again.
//
// Threads: functions on one socket; the tool is single-threaded.
#pragma once

#include <netinet/in.h>

#include <optional>

namespace remote {

// Asks the kernel to queue ICMP errors of `fd`'s datagrams. False when the
// option is refused (the socket then just never learns of them).
bool reportPortUnreachable(int fd);

// Reads one entry of `fd`'s error queue: the destination a datagram was
// refused at, or nullopt for another error or an empty queue.
std::optional<sockaddr_in> readPortUnreachable(int fd);

// Takes `fd`'s pending error (SO_ERROR): the one an ICMP error leaves when
// the error queue had no room for its entry, whose destination is then
// unknown. Until taken it makes every poll() say POLLERR. Returns it, 0
// for none.
int takePendingError(int fd);

}  // namespace remote
