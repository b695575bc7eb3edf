// tools/model/endpoint.cpp
//
// Endpoint text, HOST[:PORT] parsing and IPv4 name resolution.
//
// Threads: the tool is single-threaded (getaddrinfo() is safe anyway).
#include "model/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <charconv>

#include "base/tool_error.h"

namespace remote {

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
      throw ToolError{ErrorKind::kBadInput, "invalid port '" + portText + "' in '" + text + "'"};
    }
    out.port = static_cast<std::uint16_t>(port);
  }
  if (out.host.empty()) throw ToolError{ErrorKind::kBadInput, "no host in '" + text + "'"};
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
    throw ToolError{ErrorKind::kBadInput,
                    "cannot resolve host '" + host + "': " + ::gai_strerror(rc)};
  }
  endpoint.address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return endpoint;
}

}  // namespace remote
