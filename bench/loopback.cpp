// bench/loopback.cpp
//
// Loopback sockets and the drain thread of DrainedClients.
//
// Threads: the free functions are called on benchmark threads;
// drainLoop() runs on the drain thread and reads only the sockets.
#include "loopback.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace bench {

namespace {
// Large enough for a few thousand records between two wake-ups of the drain
// thread on a busy machine, so the kernel does not drop what the benchmark
// thread just paid to send.
constexpr int kReceiveBufferBytes = 4 << 20;
}  // namespace

UniqueFd openClientSocket() {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  // Best effort: a smaller buffer only means more drops, never a wrong result.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  const sockaddr_in any = loopbackAddress(0);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) return {};
  return fd;
}

UniqueFd openSocketLikeTarget(std::string& error) {
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
    return fd;
  }
  const int sendBufferBytes = 1 << 20;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes) !=
      0) {
    error = std::string("cannot set SO_SNDBUF: ") + std::strerror(errno);
    return {};
  }
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
    error = std::string("cannot bind 0.0.0.0:0: ") + std::strerror(errno);
    return {};
  }
  return fd;
}

bool sendDatagram(int fd, const void* data, std::size_t length, const sockaddr_in& to) {
  return ::sendto(fd, data, length, /*flags=*/0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(length);
}

void stopAndJoin(const UniqueFd& stopFd, std::thread& thread) {
  if (!thread.joinable()) return;
  const std::uint64_t one = 1;
  // An eventfd write of 1 cannot fail short of a bug; the join would hang.
  [[maybe_unused]] const ssize_t written = ::write(stopFd.get(), &one, sizeof one);
  thread.join();
}

DrainedClients::DrainedClients(std::size_t count) {
  sockets.reserve(count);
  destinations.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    UniqueFd fd = openClientSocket();
    if (!fd) {
      failure = std::string("cannot open client socket: ") + std::strerror(errno);
      return;
    }
    destinations.push_back(loopbackAddress(localPort(fd.get())));
    sockets.push_back(std::move(fd));
  }
}

DrainedClients::~DrainedClients() { stopAndJoin(stopFd, drainer); }

bool DrainedClients::startDraining() {
  epollFd.reset(::epoll_create1(EPOLL_CLOEXEC));
  stopFd.reset(::eventfd(0, EFD_CLOEXEC));
  if (!epollFd || !stopFd) {
    failure = std::string("cannot set up the drain thread: ") + std::strerror(errno);
    return false;
  }
  auto watch = [this](int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(epollFd.get(), EPOLL_CTL_ADD, fd, &event) == 0;
  };
  for (const UniqueFd& fd : sockets) {
    if (!watch(fd.get())) {
      failure = std::string("cannot watch a client socket: ") + std::strerror(errno);
      return false;
    }
  }
  if (!watch(stopFd.get())) {
    failure = std::string("cannot watch the stop eventfd: ") + std::strerror(errno);
    return false;
  }
  drainer = std::thread(&DrainedClients::drainLoop, this);
  return true;
}

void DrainedClients::settle() const {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  long seen = received();
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);  // no event to wait for: silence is the signal
    const long now = received();
    if (now == seen) return;
    seen = now;
  }
}

void DrainedClients::drainLoop() {
  // Read everything that is queued on each ready socket before sleeping
  // again: one wake-up per burst, not one per datagram.
  std::array<char, 2048> buffer;
  std::array<epoll_event, 8> events;
  for (;;) {
    const int ready = ::epoll_wait(epollFd.get(), events.data(), static_cast<int>(events.size()),
                                   /*timeout=*/-1);
    if (ready < 0) {
      if (errno == EINTR) continue;  // a signal, not a failure
      return;
    }
    for (int i = 0; i < ready; ++i) {
      const int fd = events[static_cast<std::size_t>(i)].data.fd;
      if (fd == stopFd.get()) return;
      long count = 0;
      while (::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) ++count;
      drained.fetch_add(count, std::memory_order_relaxed);
    }
  }
}

}  // namespace bench
