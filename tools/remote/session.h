// tools/remote/session.h
//
// tarvin-remote's conversation with targets: one UDP socket on an ephemeral
// port, waiting for datagrams with a deadline, requests retried on timeout,
// resolving HOST[:PORT] (asking the port range when no port is given), and
// the stop request that SIGINT and SIGTERM raise. Every received datagram,
// malformed ones included, can also be handed to a capture (tail --pcap).
//
// Datagrams the codec refuses are reported on stderr once per kind and
// source and then skipped: a peer that sends garbage must not end a tail.
//
// Threads: the tool is single-threaded; the signal handler only writes one
// byte into the stop pipe.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "codec/client_codec.h"
#include "common/unique_fd.h"

namespace remote {

using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;

// A failure that ends the command: main prints "tarvin-remote: error: ..."
// and exits with the code.
struct ToolError {
  int exitCode;
  std::string message;
};
inline constexpr int kExitNoAnswer = 1;
inline constexpr int kExitUsage = 2;

// Prints "tarvin-remote: <text>" on stderr.
void note(const std::string& text);

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
// port is not a number 1-65535 or the host does not resolve to IPv4.
struct TargetAddress {
  std::string host;
  std::optional<std::uint16_t> port;
};
TargetAddress parseTargetAddress(const std::string& text);
Endpoint resolve(const std::string& host, std::uint16_t port);

struct Received {
  codec::Datagram datagram;
  Endpoint from;
  SystemClock::time_point at;  // when recvmsg() returned it
};

// One datagram as it arrived, before parsing: what a capture keeps.
struct RawDatagram {
  SystemClock::time_point at;
  sockaddr_in from{};
  sockaddr_in to{};  // the destination address in the packet and our port
  codec::ByteSpan bytes;
};

struct RetryPolicy {
  std::chrono::milliseconds timeout{500};
  int retries = 3;  // resends after the first attempt
};

class Session {
 public:
  // Opens the socket (SO_BROADCAST when asked) and installs the handlers of
  // SIGINT and SIGTERM. Throws ToolError when the socket cannot be made.
  explicit Session(RetryPolicy policy, bool broadcast = false);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const RetryPolicy& policy() const { return retry; }

  void send(const Endpoint& to, const codec::Bytes& bytes);

  enum class Wait { kDatagram, kTimeout, kStopped, kExtraReady };
  // Waits until `deadline` for one datagram the codec accepts. With
  // `extra`, also waits for that descriptor's events (a collector's
  // socket): extra->revents says what it has, also beside a datagram, and
  // kExtraReady is returned when it alone is ready.
  Wait receive(Clock::time_point deadline, Received& out, pollfd* extra = nullptr);

  // Hands every datagram received from now on to `capture`, before parsing.
  void captureTo(std::function<void(const RawDatagram&)> capture);

  // Sends `bytes` to `to` and waits for a datagram from `to` that `accept`
  // takes, resending after each timeout. Datagrams that do not match go to
  // `other` (when given) so the caller loses none of them. nullopt when no
  // answer came or a stop was requested (see stopRequested()).
  std::optional<codec::Datagram> request(
      const Endpoint& to, const codec::Bytes& bytes,
      const std::function<bool(const codec::Datagram&)>& accept,
      const std::function<void(Received&&)>& other = {});

  // The target to talk to: HOST:PORT as given, or, without a port, the
  // lowest port of the range whose target answers a DRQ (said on stderr).
  // Throws ToolError when no target answers.
  Endpoint findTarget(const std::string& targetText);

  // A fresh request id for SLV and GLVD.
  std::uint32_t nextRequestId() { return requestId++; }

  bool stopRequested() const;
  // Forgets the stops seen so far, for work that must still be done after
  // one (restoring a level); a further signal stops that work too.
  void clearStop();

 private:
  void reportMalformed(const Endpoint& from, const codec::Bytes& bytes, const std::string& error);

  RetryPolicy retry;
  UniqueFd socketFd;
  std::uint16_t localPort = 0;  // network order; for captures
  std::function<void(const RawDatagram&)> capture;
  std::uint32_t requestId;
  std::set<std::pair<std::string, std::string>> reported;  // (kind, source)
};

}  // namespace remote
