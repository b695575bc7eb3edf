// common/client_socket.cpp
//
// Client sockets kept off the targets' ports. See client_socket.h.
//
// Threads: a free function; callable from any thread.
#include "common/client_socket.h"

#include <sys/socket.h>

#include <vector>

#include "common/socket_address.h"
#include "wire/wire_format.h"

UniqueFd bindClientSocket(sockaddr_in local) {
  local.sin_family = AF_INET;
  local.sin_port = 0;
  // A socket that got a target's port stays open until the end, so the
  // kernel offers the next one another port.
  std::vector<UniqueFd> refused;
  for (;;) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      return UniqueFd();
    }
    const std::uint16_t port = localPort(fd.get());
    if (port < wire::kFirstPort || port >= wire::kFirstPort + wire::kPortCount) return fd;
    refused.push_back(std::move(fd));
  }
}
