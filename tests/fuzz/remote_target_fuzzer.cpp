// tests/fuzz/remote_target_fuzzer.cpp
//
// libFuzzer target for the request path of CLogtargetRemote: arbitrary
// datagrams go from loopback client sockets to a real target, whose
// onLogSocketReceive() receives, parses, dispatches and answers them, under
// host state (application name, components, masks, level descriptions) that
// the same input chooses, oversized strings included. Every datagram the
// target sends passes through our sendto(), which aborts on one longer than
// 2048 bytes, on one that does not parse to its exact length, and on a reply
// that is missing or should not be there.
//
// Input layout, read front to back (so that seeds can be written by hand,
// see make_corpus.py):
//   text      := u8 kind; kind < 0xC0: kind % 48 bytes follow (NUL becomes
//                '?'); else u16be length % 4096 and one fill byte follow
//   host      := text appName; u8 n (% 6 components); n x component
//   component := text name; u32be mask; u8 k (% 12); k x (u32be level, text)
//   then ops until the input ends, op := u8 code, by code % 4:
//     0, 1  datagram from client (code >> 2) % 6: u16be length % 4097, bytes
//     2     log(): u8 level, four texts
//     3     expiry of client timer (code >> 2) % 6 (an unknown descriptor
//           when that client slot is empty)
//
// Threads: the target is built once per process and its worker thread is
// stopped and joined at once, so everything below runs on libFuzzer's thread
// and every handler runs synchronously inside LLVMFuzzerTestOneInput().
// Run it inside a network namespace of its own (run_fuzz.sh does).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/wire_format.h"
#include "tarvin/framework.h"
#include "tarvin/host_api.h"
#include "target/log_target_remote.h"

// White-box access: the worker thread is replaced by direct calls.
struct CLogtargetRemoteTestPeer {
  // The stop byte ends the worker as a release would; the target then is in
  // its "no worker thread" state and its destructor neither writes nor joins.
  static void stopWorker(CLogtargetRemote& target) {
    if (target.workerThread == nullptr) return;
    if (::write(target.cmdPipeWriteFd, "x", 1) != 1) std::abort();
    target.workerThread->join();
    delete target.workerThread;
    target.workerThread = nullptr;
  }
  static int logSocket(const CLogtargetRemote& target) { return target.logSocket; }
  static void receive(CLogtargetRemote& target) { target.onLogSocketReceive(); }
  static void expire(CLogtargetRemote& target, int fd) { target.onClientTimeout(fd); }
  static std::vector<CLogtargetRemote::CLogClient> clients(CLogtargetRemote& target) {
    MutexLock lock(target.registryMutex);
    return target.clients;
  }
  // Each input starts from an empty registry, so that it replays the same.
  static void dropClients(CLogtargetRemote& target) {
    for (;;) {
      CLogtargetRemote::ClientIterator first;
      {
        MutexLock lock(target.registryMutex);
        if (target.clients.empty()) return;
        first = target.clients.begin();
      }
      target.removeClient(first);
    }
  }
};

namespace {

constexpr std::size_t kClientCount = 6;  // one more than the registry holds
constexpr std::size_t kMaxComponents = 6;
constexpr std::size_t kMaxLevels = 12;
constexpr std::size_t kMaxDatagram = 4096;  // the target cuts at 2048

[[noreturn]] void fail(const char* what, std::size_t a = 0, std::size_t b = 0) {
  std::fprintf(stderr, "remote_target_fuzzer: %s (%zu, %zu)\n", what, a, b);
  std::abort();
}

// ---- what the target sent during one operation ----

struct Sent {
  std::vector<std::uint8_t> bytes;
  std::uint16_t port;  // host byte order
};

int gLogSocket = -1;
std::vector<Sent> gSent;
std::array<std::uint8_t, wire::kUuidSize> gUuid{};
bool gUuidKnown = false;

// Reads a NUL-terminated string at `at`; fails unless the NUL lies inside.
std::string stringAt(const std::uint8_t* data, std::size_t length, std::size_t& at) {
  if (at >= length) fail("string starts past the datagram", at, length);
  const void* nul = std::memchr(data + at, 0, length - at);
  if (nul == nullptr) fail("unterminated string", at, length);
  std::string text(reinterpret_cast<const char*>(data + at), static_cast<const char*>(nul));
  at += text.size() + 1;
  return text;
}

std::uint32_t be32At(const std::uint8_t* data, std::size_t length, std::size_t& at) {
  if (at + 4 > length) fail("field past the datagram", at, length);
  const std::uint32_t value = wire::loadBe32(data + at);
  at += 4;
  return value;
}

// Every datagram the target sends: at most 2048 bytes, the same uuid in all,
// and a layout that consumes exactly its length.
void checkShape(const std::uint8_t* data, std::size_t length) {
  if (length > wire::kMaxDatagramSize) fail("datagram longer than 2048 bytes", length);
  if (length < wire::kHeaderSize) fail("datagram shorter than the header", length);
  if (!gUuidKnown) {
    std::memcpy(gUuid.data(), data + wire::kUuidOffset, gUuid.size());
    gUuidKnown = true;
  } else if (std::memcmp(gUuid.data(), data + wire::kUuidOffset, gUuid.size()) != 0) {
    fail("uuid changed between datagrams");
  }
  std::size_t at = wire::kHeaderSize;
  switch (wire::loadBe32(data)) {
    case wire::kDiscoveryResponse:
    case wire::kRegistrationConfirm:
      stringAt(data, length, at);
      break;
    case wire::kComponentInfo:
      at += 8;
      stringAt(data, length, at);
      break;
    case wire::kLevelDescriptions: {
      at += 8;
      stringAt(data, length, at);
      const std::uint32_t count = be32At(data, length, at);
      if (count > (length - at) / 5) fail("level count larger than the datagram holds", count);
      at += 4 * std::size_t{count};
      for (std::uint32_t i = 0; i < count; ++i) stringAt(data, length, at);
      break;
    }
    case wire::kLogRecord:
      if (length >= wire::kMaxDatagramSize) fail("log record of 2048 bytes or more", length);
      at = wire::log_record::kStringsOffset;
      for (std::size_t i = 0; i < wire::log_record::kStringCount; ++i) stringAt(data, length, at);
      break;
    default:
      fail("unknown descriptor sent", wire::loadBe32(data));
  }
  if (at != length) fail("bytes after the last field", at, length);
}

// ---- the fuzzer's clients ----

struct Client {
  int fd = -1;
  std::uint16_t port = 0;  // host byte order
};
std::array<Client, kClientCount> gClients;
std::uint16_t gTargetPort = 0;
CLogtargetRemote* gTarget = nullptr;

Client openClient() {
  Client c;
  c.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (c.fd < 0 || ::bind(c.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(c.fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("cannot open a loopback client socket");
  }
  c.port = ntohs(address.sin_port);
  return c;
}

// What reached each client must have the same shape as what was sent; the
// 65536-byte buffer would show a datagram of any length whole.
void drainClients() {
  static std::vector<std::uint8_t> buffer(65536);
  for (const Client& c : gClients) {
    for (;;) {
      const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      checkShape(buffer.data(), static_cast<std::size_t>(n));
    }
  }
}

bool isRegistered(std::uint16_t port) {
  for (const auto& c : CLogtargetRemoteTestPeer::clients(*gTarget)) {
    if (ntohs(c.address.sin_port) == port) return true;
  }
  return false;
}

// ---- reading the input ----

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  bool empty() const { return at >= size; }
  std::uint8_t u8() { return at < size ? data[at++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) << 16 | u16(); }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    n = std::min(n, size - std::min(at, size));
    std::vector<std::uint8_t> out(data + at, data + at + n);
    at += n;
    return out;
  }
  // Long texts cost three input bytes, so oversized host strings are cheap.
  // NUL never appears inside: a host string with a NUL is the host's bug.
  std::string text() {
    const std::uint8_t kind = u8();
    if (kind >= 0xC0) {
      const std::size_t length = u16() % 4096;
      const std::uint8_t fill = u8();
      return std::string(length, fill == 0 ? '.' : static_cast<char>(fill));
    }
    std::string out;
    for (std::uint8_t b : bytes(kind % 48)) out.push_back(b == 0 ? '?' : static_cast<char>(b));
    return out;
  }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

// ---- expected replies ----

void expectCount(std::size_t expected, const char* what) {
  if (gSent.size() != expected) fail(what, gSent.size(), expected);
}

void expectReply(std::size_t index, std::uint32_t descriptor, std::uint16_t port) {
  if (index >= gSent.size()) fail("reply missing", index, gSent.size());
  const Sent& s = gSent[index];
  if (wire::loadBe32(s.bytes.data()) != descriptor) fail("wrong reply", wire::loadBe32(s.bytes.data()), descriptor);
  if (s.port != port) fail("reply to another port", s.port, port);
}

// The component name of an SLV or GLVD as the target reads it: the last
// byte becomes NUL, the name ends at the first NUL.
std::string requestName(std::vector<std::uint8_t> datagram, std::size_t offset) {
  datagram.back() = 0;
  return std::string(reinterpret_cast<const char*>(datagram.data() + offset));
}

void checkRequest(const std::vector<std::uint8_t>& sentBytes, const Client& from,
                  bool wasRegistered, std::size_t registeredBefore) {
  // The target reads at most 2048 bytes of a datagram.
  std::vector<std::uint8_t> d(sentBytes.begin(),
                              sentBytes.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                      sentBytes.size(), wire::kMaxDatagramSize)));
  if (d.size() < 4) return expectCount(0, "reply to a datagram shorter than 4 bytes");
  const std::string& appName = tarvin_get_application_name();
  const bool appNameFits = appName.size() <= wire::kMaxApplicationNameLength;

  switch (wire::loadBe32(d.data())) {
    case wire::kDiscoveryRequest:
      expectCount(appNameFits ? 1 : 0, "discovery replies");
      if (appNameFits) {
        expectReply(0, wire::kDiscoveryResponse, from.port);
        const auto& b = gSent[0].bytes;
        if (std::string(reinterpret_cast<const char*>(b.data() + wire::appinfo::kNameOffset)) != appName) {
          fail("discovery response carries another application name");
        }
      }
      return;
    case wire::kRegistrationRequest: {
      std::size_t expected = 0;
      if (wasRegistered) {
        expected = appNameFits ? 1 : 0;
      } else if (registeredBefore < CLogtargetRemote::kMaxClients) {
        expected = appNameFits ? 1 : 0;
        std::vector<std::string> names;
        tarvin_get_component_names(names);
        for (const auto& n : names) expected += n.size() <= wire::kMaxComponentNameLength ? 1 : 0;
        if (!isRegistered(from.port)) fail("new client was not registered");
      }
      expectCount(expected, "registration replies");
      for (std::size_t i = 0; i < gSent.size(); ++i) {
        expectReply(i, i == 0 && appNameFits ? wire::kRegistrationConfirm : wire::kComponentInfo, from.port);
      }
      return;
    }
    case wire::kUnregistrationRequest:
      expectCount(0, "reply to URQ");
      if (isRegistered(from.port)) fail("client still registered after URQ");
      return;
    case wire::kSetLevelRequest: {
      if (d.size() < wire::slv::kMinSize) return expectCount(0, "reply to a short SLV");
      const std::string name = requestName(d, wire::slv::kNameOffset);
      if (name.size() > wire::kMaxRequestNameLength) return expectCount(0, "reply to a long SLV name");
      expectCount(1, "SLV replies");
      expectReply(0, wire::kComponentInfo, from.port);
      const auto& b = gSent[0].bytes;
      if (wire::loadBe32(b.data() + wire::component_info::kRequestIdOffset) !=
          wire::loadBe32(d.data() + wire::slv::kRequestIdOffset)) {
        fail("SLV reply does not echo the request id");
      }
      if (std::string(reinterpret_cast<const char*>(b.data() + wire::component_info::kNameOffset)) != name) {
        fail("SLV reply names another component");
      }
      return;
    }
    case wire::kGetLevelDescriptionsRequest: {
      if (d.size() < wire::glvd::kMinSize) return expectCount(0, "reply to a short GLVD");
      const std::string name = requestName(d, wire::glvd::kNameOffset);
      if (name.size() > wire::kMaxRequestNameLength) return expectCount(0, "reply to a long GLVD name");
      expectCount(1, "GLVD replies");
      expectReply(0, wire::kLevelDescriptions, from.port);
      const auto& b = gSent[0].bytes;
      if (wire::loadBe32(b.data() + wire::level_descriptions::kRequestIdOffset) !=
          wire::loadBe32(d.data() + wire::glvd::kRequestIdOffset)) {
        fail("GLVD reply does not echo the request id");
      }
      // Every description is sent when all of them fit.
      std::vector<std::pair<unsigned int, std::string>> levels;
      tarvin_get_level_descriptions(name, levels);
      std::size_t whole = wire::levelDescriptionsFixedSize(name.size());
      for (const auto& l : levels) whole += 4 + l.second.size() + 1;
      const std::uint32_t count = wire::loadBe32(b.data() + wire::levelDescriptionsFixedSize(name.size()) - 4);
      if (count > levels.size()) fail("more level descriptions than the host has", count, levels.size());
      if (whole <= wire::kMaxDatagramSize && count != levels.size()) {
        fail("level descriptions cut although all fit", count, levels.size());
      }
      return;
    }
    default:
      expectCount(0, "reply to an unknown descriptor");
  }
}

// ---- operations ----

void sendDatagram(Reader& in, std::uint8_t code) {
  const Client& from = gClients[(code >> 2) % kClientCount];
  const std::vector<std::uint8_t> datagram = in.bytes(in.u16() % (kMaxDatagram + 1));
  const bool wasRegistered = isRegistered(from.port);
  const std::size_t registeredBefore = CLogtargetRemoteTestPeer::clients(*gTarget).size();

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(gTargetPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::sendto(from.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(datagram.size())) {
    fail("cannot send a datagram to the target", datagram.size());
  }
  // Wait for the datagram rather than risk blocking the receive for good.
  pollfd ready{gLogSocket, POLLIN, 0};
  if (::poll(&ready, 1, /*timeout=*/5000) != 1) fail("datagram did not reach the target");
  gSent.clear();
  CLogtargetRemoteTestPeer::receive(*gTarget);
  checkRequest(datagram, from, wasRegistered, registeredBefore);
}

void logOnce(Reader& in) {
  const unsigned int level = in.u8() % 32;
  std::array<std::string, 4> s;
  for (auto& text : s) text = in.text();
  const std::size_t total = wire::log_record::kMinSize + s[0].size() + s[1].size() + s[2].size() + s[3].size();
  const std::size_t registered = CLogtargetRemoteTestPeer::clients(*gTarget).size();
  gSent.clear();
  gTarget->log(1, -1, 0x7fffffffL, 4, tarvin::levelRecord(level), s[0], s[1], s[2], s[3]);
  expectCount(total < wire::kMaxDatagramSize ? registered : 0, "log records sent");
  for (const Sent& sent : gSent) {
    if (sent.bytes.size() != total) fail("log record of the wrong length", sent.bytes.size(), total);
  }
}

void expireTimer(std::uint8_t code) {
  const auto clients = CLogtargetRemoteTestPeer::clients(*gTarget);
  const std::size_t slot = (code >> 2) % kClientCount;
  const int fd = slot < clients.size() ? clients[slot].timerFd : -1;
  gSent.clear();
  CLogtargetRemoteTestPeer::expire(*gTarget, fd);
  expectCount(0, "datagram sent on a timer expiry");
  if (fd != -1 && CLogtargetRemoteTestPeer::clients(*gTarget).size() != clients.size() - 1) {
    fail("expired client was not removed");
  }
}

void configureHost(Reader& in) {
  tarvin::clearComponents();
  tarvin::setMaskPolicy(nullptr);
  tarvin::setApplicationName(in.text());
  const std::size_t components = in.u8() % kMaxComponents;
  for (std::size_t i = 0; i < components; ++i) {
    const std::string name = in.text();
    const unsigned int mask = in.u32();
    tarvin::LevelDescriptions levels(in.u8() % kMaxLevels);
    for (auto& level : levels) {
      level.first = in.u32();
      level.second = in.text();
    }
    tarvin::defineComponent(name, mask, levels);
  }
}

}  // namespace

// Our sendto() shadows the C library's for the whole binary (the target's
// objects are linked in), so every datagram is seen before it leaves.
extern "C" ssize_t sendto(int fd, const void* data, size_t length, int flags, const sockaddr* to,
                          socklen_t toLength) {
  static const auto real =
      reinterpret_cast<ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t)>(
          ::dlsym(RTLD_NEXT, "sendto"));
  if (fd == gLogSocket && gLogSocket != -1) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    checkShape(bytes, length);
    if (to == nullptr || toLength != sizeof(sockaddr_in) || to->sa_family != AF_INET) {
      fail("datagram sent to no IPv4 address");
    }
    gSent.push_back({std::vector<std::uint8_t>(bytes, bytes + length),
                     ntohs(reinterpret_cast<const sockaddr_in*>(to)->sin_port)});
  }
  return real(fd, data, length, flags, to, toLength);
}

// Every message is formatted, so that a format that does not match its
// arguments shows up under the sanitizers, and then dropped: random
// datagrams must not flood the system log.
extern "C" void syslog(int /*priority*/, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
}
// The same for builds with _FORTIFY_SOURCE, where the C library's header
// turns syslog() into this.
extern "C" void __syslog_chk(int /*priority*/, int /*flag*/, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  for (Client& c : gClients) c = openClient();
  gTarget = new CLogtargetRemote(nullptr);  // lives as long as the process
  CLogtargetRemoteTestPeer::stopWorker(*gTarget);
  gLogSocket = CLogtargetRemoteTestPeer::logSocket(*gTarget);
  if (gLogSocket == -1) fail("the target has no log socket (run in a network namespace)");
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(gLogSocket, reinterpret_cast<sockaddr*>(&address), &length);
  gTargetPort = ntohs(address.sin_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  configureHost(in);
  while (!in.empty()) {
    const std::uint8_t code = in.u8();
    switch (code % 4) {
      case 0:
      case 1: sendDatagram(in, code); break;
      case 2: logOnce(in); break;
      case 3: expireTimer(code); break;
    }
    drainClients();
  }
  CLogtargetRemoteTestPeer::dropClients(*gTarget);
  drainClients();
  return 0;
}
