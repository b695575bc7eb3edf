// common/include/common/unique_fd.h
//
// UniqueFd: the sole owner of one descriptor, -1 when empty. Every function
// in tools/, tests/ and bench/ that opens a socket or pipe returns one, so
// an early return closes what is already open.
//
// Threads: an owner belongs to one thread at a time, like the descriptor.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }
  [[nodiscard]] int release() { return std::exchange(fd, -1); }
  void reset(int newFd = -1) {
    if (fd >= 0) ::close(fd);  // never retried: Linux has closed it even on EINTR
    fd = newFd;
  }

 private:
  int fd = -1;
};
