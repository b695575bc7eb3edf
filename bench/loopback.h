// bench/loopback.h
//
// Loopback plumbing shared by every benchmark: UDP sockets on 127.0.0.1
// and DrainedClients, a set of client sockets whose datagrams one
// background thread reads and throws away. The bounded wait for one
// datagram is receiveWithin() of common/datagram_wait.h.
//
// Every variant of a benchmark (the plug-in, the hand-written floor, the
// spdlog peer) sends to a DrainedClients, so the receiving side costs all of
// them the same.
//
// Threads: a DrainedClients is built and destroyed on the benchmark thread;
// its drain thread touches only the sockets, its own buffer and the
// `drained` count, which the benchmark thread reads.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/datagram_wait.h"   // receiveWithin(), for the benchmarks
#include "common/socket_address.h"  // loopbackAddress() and localPort(), likewise
#include "common/unique_fd.h"

namespace bench {

// A blocking AF_INET UDP socket bound to 127.0.0.1 on a port of the kernel's
// choice, with a receive buffer large enough that a burst of records is not
// dropped before the drain thread reads it. Empty on failure, with errno set.
UniqueFd openClientSocket();

// A socket set up as the target sets up its log socket: AF_INET UDP,
// blocking, one MiB of send buffer, bound to all local addresses on a port
// of the kernel's choice. The floors send and answer from one of these, so
// they differ from the target only in what they do between system calls.
// Empty on failure, with `error` saying why.
UniqueFd openSocketLikeTarget(std::string& error);

// Sends `length` bytes of `data` to `to`; false when sendto() failed.
bool sendDatagram(int fd, const void* data, std::size_t length, const sockaddr_in& to);

// Ends a thread that waits on the eventfd `stopFd` beside its sockets:
// makes the eventfd readable and joins the thread. Nothing when the thread
// never started.
void stopAndJoin(const UniqueFd& stopFd, std::thread& thread);

class DrainedClients {
 public:
  // Opens `count` client sockets; error() says why when one could not be made.
  explicit DrainedClients(std::size_t count);
  ~DrainedClients();
  DrainedClients(const DrainedClients&) = delete;
  DrainedClients& operator=(const DrainedClients&) = delete;

  const std::string& error() const { return failure; }
  std::size_t size() const { return sockets.size(); }
  int fd(std::size_t i) const { return sockets[i].get(); }
  const std::vector<sockaddr_in>& addresses() const { return destinations; }

  // Starts the drain thread. Call once the benchmark thread has stopped
  // reading the sockets itself (after registration).
  bool startDraining();

  // Datagrams read by the drain thread so far, over all sockets.
  long received() const { return drained.load(std::memory_order_relaxed); }
  // Waits until no datagram has arrived for a few milliseconds (at most a
  // second), so received() counts what is still in flight after a loop.
  void settle() const;

 private:
  void drainLoop();

  std::vector<UniqueFd> sockets;
  std::vector<sockaddr_in> destinations;  // where a sender reaches each socket
  std::string failure;
  UniqueFd epollFd;
  UniqueFd stopFd;               // eventfd: readable once the destructor asks to stop
  std::atomic<long> drained{0};  // written by the drain thread only
  std::thread drainer;
};

}  // namespace bench
