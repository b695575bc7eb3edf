// common/include/common/datagram_wait.h
//
// Waiting for datagrams until a deadline, as the tools, the tests' loopback
// client and the benchmarks all do: poll() with the time that is left,
// again after a signal, and nothing read once the deadline has passed.
//
// Threads: free functions; each call uses only the descriptors it is given.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>

// Waits until one of `fds` has an event or `deadline` passes. A signal
// (EINTR) waits again for the time left: a caller that must stop on a
// signal polls a descriptor the handler makes readable. Returns the count
// of descriptors with events, 0 at the deadline (without polling once it
// has passed), or -1 with errno set when poll() fails.
int pollUntil(std::span<pollfd> fds, std::chrono::steady_clock::time_point deadline);

// Reads one datagram from `fd` into `buffer`, waiting at most `timeout`.
// Its length, or nullopt when none came in time or reading failed. The
// sender goes to `from` when given.
std::optional<std::size_t> receiveWithin(int fd, void* buffer, std::size_t capacity,
                                         std::chrono::milliseconds timeout,
                                         sockaddr_in* from = nullptr);
