// tools/base/output_buffer.cpp
//
// Writing the gathered output: every byte, after signals and short writes,
// unless a stop gave the output up.
//
// Threads: a buffer belongs to one thread.
#include "base/output_buffer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/stop_signal.h"
#include "base/tool_error.h"

namespace remote {

OutputBuffer::OutputBuffer(int fd) : fd(fd), storage(new char[kCapacity]) {}

OutputBuffer::~OutputBuffer() {
  try {
    flush();
  } catch (const ToolError&) {
    // Said where it first failed; a destructor must not throw.
  }
}

void OutputBuffer::flush() {
  const std::size_t length = used;
  used = 0;  // a failed write is not tried again with every later record
  if (length > 0) writeAll({storage.get(), length});
}

void OutputBuffer::writeAll(std::string_view text) {
  while (!text.empty()) {
    if (outputAbandoned()) {
      droppedLines += static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
      droppedBytes += text.size();
      return;
    }
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n >= 0) {
      text.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;  // a stop, perhaps: looked at above
    if (errno == EAGAIN) {         // an output someone made non-blocking: wait for room
      pollfd room{fd, POLLOUT, 0};
      ::poll(&room, 1, /*timeout=*/-1);
      continue;
    }
    throw ToolError{ErrorKind::kDataLost,
                    std::string("cannot write output: ") + std::strerror(errno)};
  }
}

}  // namespace remote
