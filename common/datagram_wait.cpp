// common/datagram_wait.cpp
//
// The bounded waits. A wait longer than a minute polls in slices of one, so
// the millisecond count always fits poll()'s int.
//
// Threads: free functions; each call uses only the descriptors it is given.
#include "common/datagram_wait.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr std::chrono::milliseconds::rep kLongestPollMs = 60'000;

}  // namespace

int pollUntil(std::span<pollfd> fds, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    // Rounded up: a wait of half a millisecond must not become a busy poll(0).
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) return 0;
    const int ready =
        ::poll(fds.data(), fds.size(), static_cast<int>(std::min(left, kLongestPollMs)));
    if (ready < 0 && errno == EINTR) continue;  // a signal, not a failure
    if (ready != 0 || left <= kLongestPollMs) return ready;
  }
}

std::optional<std::size_t> receiveWithin(int fd, void* buffer, std::size_t capacity,
                                         std::chrono::milliseconds timeout, sockaddr_in* from) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pollfd entry{fd, POLLIN, 0};
    if (pollUntil({&entry, 1}, deadline) <= 0) return std::nullopt;
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t n = ::recvfrom(fd, buffer, capacity, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    if (from != nullptr) *from = sender;
    return static_cast<std::size_t>(n);
  }
}
