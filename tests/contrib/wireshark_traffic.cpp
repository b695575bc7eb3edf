// tests/contrib/wireshark_traffic.cpp
//
// Traffic for wireshark_dissector_test.py, which knows this fixed scenario: a
// real target (the plug-in in the stand-in host, two components with level
// descriptions) and a loopback client that sends every request kind, receives
// every kind the target sends, and misses records 2 and 3 while unregistered
// (longer ago than the reorder window when the record after them comes).
// Errors go to stderr, exit status 1. Run it in a network namespace of its
// own: its target binds 57008.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tarvin/framework.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

int sock = -1;
sockaddr_in target{};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "wireshark_traffic: error: %s\n", what.c_str());
  std::exit(1);
}

void send(const std::vector<std::uint32_t>& words, const char* name = nullptr) {
  Bytes out;
  for (std::uint32_t w : words) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<std::uint8_t>(w >> shift));
  }
  if (name != nullptr) out.insert(out.end(), name, name + std::string(name).size() + 1);
  if (::sendto(sock, out.data(), out.size(), /*flags=*/0,
               reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
    fail("cannot send to 127.0.0.1:57008");
}

// The next datagram must come within 5 s and carry `descriptor`.
void expect(std::uint32_t descriptor) {
  pollfd ready{sock, POLLIN, 0};
  std::uint8_t d[2048];
  if (::poll(&ready, 1, /*timeout=*/5000) != 1 || ::recv(sock, d, sizeof d, /*flags=*/0) < 4)
    fail("no datagram " + std::to_string(descriptor) + " within 5 s");
  const std::uint32_t got = std::uint32_t{d[0]} << 24 | d[1] << 16 | d[2] << 8 | d[3];
  if (got != descriptor)
    fail("expected datagram " + std::to_string(descriptor) + ", got " + std::to_string(got));
}

// RRQ, answered by the confirm and one component info per component.
void registerClient() {
  send({16});
  for (std::uint32_t d : {17, 34, 34}) expect(d);
}

// URQ has no reply; the DRQ behind it is answered only after the target has
// handled the URQ, so records logged after that answer reach nobody.
void unregisterClient() {
  send({19});
  send({1});
  expect(2);
}

}  // namespace

int main() {
  tarvin::setApplicationName("wsdemo");
  // Numeric levels 4, 5, 7 enabled: client levels 30, 29, 28.
  tarvin::defineComponent("net", 0x000000B0u,
                          {{0, "Fatal"}, {4, "Warning"}, {5, "Info"}, {7, "Debug"}});
  tarvin::defineComponent("disk", 0x00000010u, {{4, "Warning"}, {31, "Trace"}});
  std::string error;
  std::unique_ptr<tarvin::Plugin> plugin = tarvin::Plugin::load(TARVIN_PLUGIN_PATH, error);
  if (!plugin) fail("cannot load " TARVIN_PLUGIN_PATH ": " + error);
  ILogTarget* log = plugin->createTarget();
  if (log == nullptr) fail("the plug-in made no log target");
  tarvin::attachTarget(log);

  sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = target.sin_family = AF_INET;
  local.sin_addr.s_addr = target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  target.sin_port = htons(57008);  // the first free one in a fresh namespace
  if (sock < 0 || ::bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
    fail("cannot open a client socket on 127.0.0.1");

  send({1});
  expect(2);
  registerClient();
  // Sequence numbers 0 and 1: the integer extremes, then plain values.
  log->log(-1, 2147483647, -2147483647L - 1, 42, tarvin::levelRecord(5), "net", "a.cpp", "first()",
           "first");
  expect(48);
  log->log(1, 2, 3, 4, tarvin::levelRecord(7), "net", "a.cpp", "second()", "second");
  expect(48);
  send({33, 0x11, 0x50000000u}, "disk");  // client levels 30 and 28
  expect(34);
  send({64, 0x22}, "net");
  expect(65);

  unregisterClient();
  // Sequence numbers 2 and 3 go to nobody: the gap the dissector must see.
  log->log(1, 2, 3, 4, tarvin::levelRecord(4), "net", "gap.cpp", "gap()", "unseen");
  log->log(1, 2, 3, 4, tarvin::levelRecord(4), "net", "gap.cpp", "gap()", "unseen");
  registerClient();
  // Sequence numbers 4 and 5; the second has four empty strings, and comes
  // after the reorder window, so the dissector marks the hole on it.
  log->log(7, 8, 9, 10, tarvin::levelRecord(31), "disk", "b.cpp", "third()", "after-gap");
  expect(48);
  ::usleep(300'000);
  log->log(0, 0, 0, 0, tarvin::levelRecord(0), "", "", "", "");
  expect(48);
  unregisterClient();

  ::close(sock);
  tarvin::detachTarget(log);
  plugin->releaseTarget(log);
  return 0;
}
