// tools/model/endpoint.h
//
// Where a datagram goes or came from: Endpoint (an IPv4 address and port),
// HOST[:PORT] as a user types it, and resolving a host name to IPv4.
//
// Threads: values and functions; the tool is single-threaded.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace remote {

struct Endpoint {
  sockaddr_in address{};
  std::string text() const;  // "127.0.0.1:57008"
  // Whether a datagram from this endpoint answers for `target`. Only the
  // ports are compared: a target's socket is bound to every local address,
  // so its replies leave from the address the route picks, which need not
  // be the one we asked (127.0.0.2 is answered from 127.0.0.1). request()
  // talks to one target at a time, so there the port is enough; following
  // several targets tells them apart by uuid as well (follow.cpp).
  bool answersFor(const Endpoint& target) const;
  bool operator==(const Endpoint& other) const {
    return address.sin_addr.s_addr == other.address.sin_addr.s_addr &&
           address.sin_port == other.address.sin_port;
  }
};

// HOST or HOST:PORT as typed by the user. Throws ToolError (usage) when the
// port is not a number 1-65535 or the host is missing.
struct TargetAddress {
  std::string host;
  std::optional<std::uint16_t> port;
};
TargetAddress parseTargetAddress(const std::string& text);

// `host` as a dotted address or a name that resolves to IPv4. Throws
// ToolError (usage) when it does not resolve.
Endpoint resolve(const std::string& host, std::uint16_t port);

}  // namespace remote
