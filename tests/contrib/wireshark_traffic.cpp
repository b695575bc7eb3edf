// tests/contrib/wireshark_traffic.cpp
//
// Traffic for the dissector test: hosts a real target (the plug-in loaded into
// the stand-in framework, two components with level descriptions) and talks
// to it over loopback UDP as a client would, sending every request kind and
// receiving every kind the target sends, with a deliberate sequence gap: the
// host logs twice while the client is unregistered.
//
// The scenario is fixed; wireshark_dissector_test.py knows it and checks the
// dissector's view of the capture against it. This program prints what only
// it can know (its process and thread ids, the source position of its one
// framework log call) and every datagram as it went over the wire, so the
// test can tell a lossy capture from a wrong dissector.
//
// Output lines on stdout: `<key> <value>`, keys pid, tid, file, line,
// function, sent, recv (datagrams in hex). Errors go to stderr, exit status 1.
//
// Run it in a network namespace of its own: its target binds 57008.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarvin/framework.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kTargetPort = 57008;  // the first free one in a fresh namespace
constexpr auto kReplyTimeout = std::chrono::seconds(5);

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "wireshark_traffic: error: %s\n", what.c_str());
  std::exit(1);
}

[[noreturn]] void failErrno(const std::string& what) {
  const int err = errno;  // fail() formats before anything else can change it
  fail(what + ": " + std::strerror(err));
}

void put32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putString(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(0);
}

std::uint32_t get32(const Bytes& in, std::size_t offset) {
  if (in.size() < offset + 4) fail("datagram too short for a field at offset " + std::to_string(offset));
  return std::uint32_t{in[offset]} << 24 | std::uint32_t{in[offset + 1]} << 16 |
         std::uint32_t{in[offset + 2]} << 8 | std::uint32_t{in[offset + 3]};
}

void printDatagram(const char* direction, const Bytes& bytes) {
  std::printf("%s ", direction);
  for (std::uint8_t b : bytes) std::printf("%02x", b);
  std::printf("\n");
}

// Sole owner of one descriptor; -1 when empty.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd >= 0) ::close(fd);  // never retried: Linux has closed it even on EINTR
  }
  int get() const { return fd; }

 private:
  int fd;
};

// The remote client: one UDP socket on 127.0.0.1, port chosen by the kernel.
// Every datagram in or out is printed, in wire order.
class Client {
 public:
  Client() : sock(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (sock.get() < 0) failErrno("cannot create client socket");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
      failErrno("cannot bind client socket to 127.0.0.1:0");
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(kTargetPort);
  }

  void send(const Bytes& request) {
    if (::sendto(sock.get(), request.data(), request.size(), /*flags=*/0,
                 reinterpret_cast<const sockaddr*>(&target), sizeof target) < 0)
      failErrno("cannot send to 127.0.0.1:57008");
    printDatagram("sent", request);
  }

  // The next datagram, which must carry `descriptor`; waits in poll().
  Bytes expect(std::uint32_t descriptor) {
    const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) fail("no datagram " + std::to_string(descriptor) + " within 5 s");
      pollfd ready{sock.get(), POLLIN, 0};
      const int n = ::poll(&ready, 1, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failErrno("cannot poll client socket");
      if (n == 0) continue;
      Bytes datagram(2048);
      const ssize_t got = ::recv(sock.get(), datagram.data(), datagram.size(), /*flags=*/0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) failErrno("cannot receive on client socket");
      datagram.resize(static_cast<std::size_t>(got));
      printDatagram("recv", datagram);
      if (get32(datagram, 0) != descriptor)
        fail("expected datagram " + std::to_string(descriptor) + ", got " +
             std::to_string(get32(datagram, 0)));
      return datagram;
    }
  }

 private:
  UniqueFd sock;
  sockaddr_in target{};
};

Bytes bare(std::uint32_t descriptor) {
  Bytes out;
  put32(out, descriptor);
  return out;
}

Bytes slv(std::uint32_t requestId, std::uint32_t clientMask, const std::string& name) {
  Bytes out = bare(33);
  put32(out, requestId);
  put32(out, clientMask);
  putString(out, name);
  return out;
}

Bytes glvd(std::uint32_t requestId, const std::string& name) {
  Bytes out = bare(64);
  put32(out, requestId);
  putString(out, name);
  return out;
}

// Registers and takes the registration confirm and one component info per
// host component.
void registerClient(Client& client) {
  client.send(bare(16));
  client.expect(17);
  client.expect(34);
  client.expect(34);
}

// URQ has no reply. A DRQ behind it is answered only after the target has
// handled the URQ, so records logged after that answer reach nobody.
void unregisterClient(Client& client) {
  client.send(bare(19));
  client.send(bare(1));
  client.expect(2);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  tarvin::setApplicationName("wsdemo");
  // Numeric levels 4, 5, 7 enabled: client levels 30, 29, 28.
  tarvin::defineComponent("net", 0x000000B0u,
                          {{0, "Fatal"}, {4, "Warning"}, {5, "Info"}, {7, "Debug"}});
  tarvin::defineComponent("disk", 0x00000010u, {{4, "Warning"}, {31, "Trace"}});

  std::string error;
  std::unique_ptr<tarvin::Plugin> plugin = tarvin::Plugin::load(TARVIN_PLUGIN_PATH, error);
  if (!plugin) fail("cannot load " TARVIN_PLUGIN_PATH ": " + error);
  ILogTarget* target = plugin->createTarget();
  if (!target) fail("the plug-in made no log target");
  tarvin::attachTarget(target);
  std::printf("pid %d\ntid %d\n", static_cast<int>(::getpid()), static_cast<int>(::gettid()));

  {
    Client client;
    client.send(bare(1));
    client.expect(2);
    registerClient(client);

    // Sequence number 0: the integer extremes and a level 5 record.
    target->log(-1, 2147483647, -2147483647L - 1, 42, tarvin::levelRecord(5), "net", "a.cpp",
                "first()", "first record");
    client.expect(48);
    // Sequence number 1, through the framework and its argument convention.
    std::printf("file %s\nfunction %s\nline %d\n", __FILE__, __func__, __LINE__ + 1);
    TARVIN_LOG("net", 7, "second record");
    client.expect(48);

    client.send(slv(0x11, 0x50000000u, "disk"));  // client levels 30 and 28
    client.expect(34);
    client.send(glvd(0x22, "net"));
    client.expect(65);

    unregisterClient(client);
    // Sequence numbers 2 and 3 go to nobody: the gap the dissector must see.
    target->log(1, 2, 3, 4, tarvin::levelRecord(4), "net", "gap.cpp", "gap()", "unseen 1");
    target->log(1, 2, 3, 4, tarvin::levelRecord(4), "net", "gap.cpp", "gap()", "unseen 2");
    registerClient(client);

    // Sequence numbers 4 and 5; the second has four empty strings.
    target->log(7, 8, 9, 10, tarvin::levelRecord(31), "disk", "b.cpp", "third()", "after gap");
    client.expect(48);
    target->log(0, 0, 0, 0, tarvin::levelRecord(0), "", "", "", "");
    client.expect(48);

    unregisterClient(client);
  }

  tarvin::detachTarget(target);
  plugin->releaseTarget(target);
  return 0;
}
