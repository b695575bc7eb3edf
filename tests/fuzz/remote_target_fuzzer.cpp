// tests/fuzz/remote_target_fuzzer.cpp
//
// libFuzzer target for the request path of CLogtargetRemote: arbitrary
// datagrams go from loopback client sockets to a real target, whose
// onLogSocketReceive() receives, parses, dispatches and answers them, under
// host state (application name, components, masks, level descriptions) that
// the same input chooses, oversized strings included. Every datagram the
// target sends passes through our sendto(), which aborts on one longer than
// 2048 bytes, one that does not parse to its exact length, a changed uuid,
// level descriptions cut although all fit, and replies that cannot be right.
//
// Input layout, read front to back (the seeds in corpus/ follow it):
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
// Threads: the target's worker is stopped at once, so every handler runs
// synchronously on libFuzzer's thread. Run it in a network namespace of its
// own (run_fuzz.sh does).
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
#include <vector>

#include "target/log_target_remote.h"
#include "tarvin/framework.h"
#include "tarvin/host_api.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

// White-box access: the worker thread is replaced by direct calls.
struct CLogtargetRemoteTestPeer {
  // The stop byte ends the worker as a release would; the destructor then
  // neither writes nor joins. Returns the log socket.
  static int stopWorker(CLogtargetRemote& target) {
    if (target.workerThread == nullptr) return target.logSocket;
    if (::write(target.cmdPipeWriteFd, "x", 1) != 1) std::abort();
    target.workerThread->join();
    delete target.workerThread;
    target.workerThread = nullptr;
    target.workerId = std::thread::id();  // this thread does the worker's work now
    return target.logSocket;
  }
  static void receive(CLogtargetRemote& target) { target.onLogSocketReceive(); }
  static void expire(CLogtargetRemote& target, int fd) { target.onClientTimeout(fd); }
  static std::vector<CLogtargetRemote::CLogClient> clients(CLogtargetRemote& target) {
    return target.ownClients();
  }
};

namespace {

using Peer = CLogtargetRemoteTestPeer;
constexpr std::size_t kClientCount = 6;  // one more than the registry holds

[[noreturn]] void fail(const char* what, std::size_t a = 0, std::size_t b = 0) {
  std::fprintf(stderr, "remote_target_fuzzer: %s (%zu, %zu)\n", what, a, b);
  std::abort();
}

struct Sent {
  std::uint32_t descriptor;
  std::size_t length;
  std::uint16_t port;
};
std::vector<Sent> gSent;  // by the operation under way
int gLogSocket = -1;
std::array<int, kClientCount> gClients{};
std::array<std::uint16_t, kClientCount> gClientPorts{};
CLogtargetRemote* gTarget = nullptr;

// A NUL-terminated string at `at`; fails unless the NUL lies inside.
std::string stringAt(const std::uint8_t* data, std::size_t length, std::size_t& at) {
  const void* nul = at < length ? std::memchr(data + at, 0, length - at) : nullptr;
  if (nul == nullptr) fail("unterminated string", at, length);
  std::string text(reinterpret_cast<const char*>(data + at), static_cast<const char*>(nul));
  at += text.size() + 1;
  return text;
}

void checkShape(const std::uint8_t* data, std::size_t length) {
  if (length > wire::kMaxDatagramSize) fail("datagram longer than 2048 bytes", length);
  if (length < wire::kHeaderSize) fail("datagram shorter than the header", length);
  static const std::vector<std::uint8_t> uuid(data + wire::kUuidOffset,
                                              data + wire::kHeaderSize);  // the first one
  if (!std::equal(uuid.begin(), uuid.end(), data + wire::kUuidOffset)) fail("uuid changed");
  std::size_t at = wire::kHeaderSize;
  switch (wire::loadBe32(data)) {
    case wire::kComponentInfo:
      at += 8;
      [[fallthrough]];
    case wire::kDiscoveryResponse:
    case wire::kRegistrationConfirm:
      stringAt(data, length, at);
      break;
    case wire::kLevelDescriptions: {
      at += 8;
      const std::string name = stringAt(data, length, at);
      if (at + 4 > length) fail("level descriptions without a count", at, length);
      const std::uint32_t count = wire::loadBe32(data + at);
      at += 4;
      if (count > (length - at) / 5) fail("level count larger than the datagram holds", count);
      at += 4 * std::size_t{count};
      for (std::uint32_t i = 0; i < count; ++i) stringAt(data, length, at);
      // Descriptions may be left out only when they do not fit together.
      std::vector<std::pair<unsigned int, std::string>> levels;
      tarvin_get_level_descriptions(name, levels);
      std::size_t whole = wire::levelDescriptionsFixedSize(name.size());
      for (const auto& l : levels) whole += 4 + l.second.size() + 1;
      if (count > levels.size() || (whole <= wire::kMaxDatagramSize && count != levels.size()))
        fail("level descriptions cut although all fit", count, levels.size());
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

// What reached the clients has the shape of what was sent; the 64 KiB buffer
// would show a datagram of any length whole.
void drainClients() {
  static std::vector<std::uint8_t> buffer(65536);
  for (int fd : gClients) {
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) >= 0;)
      checkShape(buffer.data(), n);
  }
}

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  bool empty() const { return at >= size; }
  std::uint8_t u8() { return at < size ? data[at++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) << 16 | u16(); }
  std::vector<std::uint8_t> bytes(std::size_t n) {
    n = std::min(n, size - std::min(at, size));
    at += n;
    return std::vector<std::uint8_t>(data + at - n, data + at);
  }
  // Long texts cost four input bytes, so oversized host strings are cheap.
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
};

void sendDatagram(Reader& in, std::uint8_t code) {
  const std::size_t from = (code >> 2) % kClientCount;
  const std::vector<std::uint8_t> d = in.bytes(in.u16() % 4097);  // the target cuts at 2048
  if (::send(gClients[from], d.data(), d.size(), 0) != static_cast<ssize_t>(d.size()))
    fail("cannot send a datagram to the target", d.size());
  // Wait for the datagram rather than risk blocking the receive for good.
  pollfd ready{gLogSocket, POLLIN, 0};
  if (::poll(&ready, 1, /*timeout=*/5000) != 1) fail("datagram did not reach the target");
  gSent.clear();
  Peer::receive(*gTarget);
  // Replies go to the requester alone; DRQ is answered whenever the
  // application name fits; SLV and GLVD get at most one reply, the rest none.
  for (const Sent& s : gSent)
    if (s.port != gClientPorts[from]) fail("reply to another port", s.port, from);
  const std::uint32_t descriptor = d.size() >= 4 ? wire::loadBe32(d.data()) : 0;
  const bool fits = tarvin_get_application_name().size() <= wire::kMaxApplicationNameLength;
  if (descriptor == wire::kDiscoveryRequest &&
      (gSent.size() != fits || (fits && gSent[0].descriptor != wire::kDiscoveryResponse)))
    fail("discovery replies", gSent.size(), fits);
  const bool oneReply =
      descriptor == wire::kSetLevelRequest || descriptor == wire::kGetLevelDescriptionsRequest;
  if (descriptor != wire::kRegistrationRequest &&
      gSent.size() > (oneReply || descriptor == wire::kDiscoveryRequest))
    fail("more replies than the request wants", descriptor, gSent.size());
}

// A record that fits goes to every registered client, at its exact length.
void logOnce(Reader& in) {
  const unsigned int level = in.u8() % 32;
  const std::array<std::string, 4> s{in.text(), in.text(), in.text(), in.text()};
  const std::size_t total =
      wire::log_record::kMinSize + s[0].size() + s[1].size() + s[2].size() + s[3].size();
  const std::size_t registered = Peer::clients(*gTarget).size();
  gSent.clear();
  gTarget->log(1, -1, 0x7fffffffL, 4, tarvin::levelRecord(level), s[0], s[1], s[2], s[3]);
  if (gSent.size() != (total < wire::kMaxDatagramSize ? registered : 0))
    fail("log records sent", gSent.size());
  for (const Sent& sent : gSent)
    if (sent.length != total) fail("log record of the wrong length", sent.length, total);
}

void expireTimer(std::uint8_t code) {
  const auto clients = Peer::clients(*gTarget);
  const std::size_t slot = (code >> 2) % kClientCount;
  gSent.clear();
  Peer::expire(*gTarget, slot < clients.size() ? clients[slot].timerFd : -1);
  if (!gSent.empty()) fail("datagram sent on a timer expiry");
}

void configureHost(Reader& in) {
  tarvin::clearComponents();
  tarvin::setMaskPolicy(nullptr);
  tarvin::setApplicationName(in.text());
  for (std::size_t i = 0, n = in.u8() % 6; i < n; ++i) {
    const std::string name = in.text();
    const unsigned int mask = in.u32();
    tarvin::LevelDescriptions levels(in.u8() % 12);
    for (auto& level : levels) level = {in.u32(), in.text()};  // a braced list reads in order
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
    if (to == nullptr || toLength != sizeof(sockaddr_in) || to->sa_family != AF_INET)
      fail("sent to no IPv4 address");
    gSent.push_back(
        {wire::loadBe32(bytes), length, ntohs(reinterpret_cast<const sockaddr_in*>(to)->sin_port)});
  }
  return real(fd, data, length, flags, to, toLength);
}

// Every message is formatted, so that the sanitizers see a format that does
// not match its arguments or reads past a string, and then dropped: random
// datagrams must not flood the system log. run_fuzz.sh builds without
// _FORTIFY_SOURCE, which would turn syslog() into __syslog_chk().
extern "C" void syslog(int /*priority*/, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  gTarget = new CLogtargetRemote(nullptr);  // lives as long as the process
  gLogSocket = Peer::stopWorker(*gTarget);
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (gLogSocket == -1 ||
      ::getsockname(gLogSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    fail("the target has no log socket (run in a network namespace)");
  sockaddr_in target{AF_INET, address.sin_port, {htonl(INADDR_LOOPBACK)}, {}};
  // Connected, so that the clients send with send() and hear only the target.
  for (std::size_t i = 0; i < kClientCount; ++i) {
    sockaddr_in local{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    gClients[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (gClients[i] < 0 ||
        ::bind(gClients[i], reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(gClients[i], reinterpret_cast<sockaddr*>(&target), sizeof target) != 0 ||
        ::getsockname(gClients[i], reinterpret_cast<sockaddr*>(&local), &length) != 0)
      fail("cannot open a loopback client socket");
    gClientPorts[i] = ntohs(local.sin_port);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  configureHost(in);
  while (!in.empty()) {
    const std::uint8_t code = in.u8();
    switch (code % 4) {
      case 0:
      case 1:
        sendDatagram(in, code);
        break;
      case 2:
        logOnce(in);
        break;
      case 3:
        expireTimer(code);
        break;
    }
    drainClients();
  }
  // Each input ends with an empty registry, so that the next replays the same.
  for (const auto& c : Peer::clients(*gTarget)) Peer::expire(*gTarget, c.timerFd);
  drainClients();
  return 0;
}
