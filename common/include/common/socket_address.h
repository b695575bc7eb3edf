// common/include/common/socket_address.h
//
// IPv4 addresses on loopback, where every test and benchmark talks: the
// address of a port on 127.0.0.1, and the port a socket is bound to.
//
// Threads: free functions; callable from any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// 127.0.0.1:`port`.
sockaddr_in loopbackAddress(std::uint16_t port);

// The local port of `fd` in host order; 0 when it has none or is no socket.
std::uint16_t localPort(int fd);
