// bench/fast_target.h
//
// FastTarget: a stand-in target that floods its one client with log
// records as fast as sendmmsg() goes, so that the client under
// measurement, never the sender, is what limits the rate. It answers a
// registration (RRQ) with a confirm, a level-descriptions request (GLVD)
// with three levels, and stops sending on an unregistration (URQ); the
// records are those of a host's: three components, texts of 20-40 bytes,
// consecutive sequence numbers. A new client first gets one record of
// each component and 50 ms to ask for their levels, then the flood.
//
// Threads: built and destroyed on a benchmark thread; its own thread
// owns the socket. sent() may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "common/unique_fd.h"

namespace bench {

class FastTarget {
 public:
  // `flood` false: answers requests and sends the first three records
  // only, for measuring what a client costs without the flood.
  explicit FastTarget(bool flood = true);
  ~FastTarget();
  FastTarget(const FastTarget&) = delete;
  FastTarget& operator=(const FastTarget&) = delete;

  const std::string& error() const { return failure; }
  // "127.0.0.1:PORT", as a client names it.
  std::string address() const;
  long sent() const { return records.load(std::memory_order_relaxed); }

 private:
  void serve();

  const bool flood;
  UniqueFd socket;
  std::uint16_t port = 0;
  std::string failure;
  std::atomic<bool> stop{false};
  std::atomic<long> records{0};
  std::thread server;
};

}  // namespace bench
