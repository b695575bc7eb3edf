// tools/base/output_buffer.h
//
// OutputBuffer: what a follower prints, gathered and written with one
// write() per batch of records rather than one per line. The owner
// flushes at the end of every batch, so a user watching a quiet target
// still sees each line the moment it arrives; a full buffer is written
// at once.
//
// Once a stop has given up the output (stop_signal.h: a reader that stopped
// reading must not keep the command from ending), what is left is counted,
// not written, and the owner says how many lines that was. The command
// that owns the buffer asks for that guard (guardOutputOnStop()); making a
// buffer installs no signal handler.
//
// Threads: a buffer belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace remote {

class OutputBuffer {
 public:
  // 64 KiB: a full batch of long lines fits, and a pipe takes it whole.
  static constexpr std::size_t kCapacity = 64 * 1024;

  explicit OutputBuffer(int fd);
  ~OutputBuffer();  // flushes, quietly: the error, if any, was said before
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;

  // Hot path: a copy into the buffer, no allocation.
  void append(std::string_view text) {
    if (text.size() > kCapacity - used) {
      flush();
      if (text.size() > kCapacity) return writeAll(text);
    }
    std::memcpy(storage.get() + used, text.data(), text.size());
    used += text.size();
  }

  // Writes what is buffered. Throws ToolError when the output cannot be
  // written (a closed pipe ends the tool by SIGPIPE before that).
  void flush();

  // Lines (and bytes) not written because the output was given up; a line
  // cut short counts as not written.
  std::uint64_t unwrittenLines() const { return droppedLines; }
  std::uint64_t unwrittenBytes() const { return droppedBytes; }

 private:
  void writeAll(std::string_view text);

  const int fd;
  std::unique_ptr<char[]> storage;
  std::size_t used = 0;
  std::uint64_t droppedLines = 0;
  std::uint64_t droppedBytes = 0;
};

}  // namespace remote
