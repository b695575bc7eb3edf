// tools/capture/pcap_file.cpp
//
// Capture files on disk: written one whole packet per write(), read whole.
//
// Threads: a writer belongs to one thread.
#include "capture/pcap_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "base/stop_signal.h"
#include "base/tool_error.h"

namespace remote {
namespace {

void writeAll(int fd, const codec::Bytes& bytes, const std::string& path) {
  const std::uint8_t* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR && !outputAbandoned()) continue;
    if (n < 0 && errno == EINTR)
      throw ToolError{ErrorKind::kDataLost, path + " took nothing more after the stop"};
    if (n < 0)
      throw ToolError{ErrorKind::kDataLost, "cannot write " + path + ": " + std::strerror(errno)};
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

PcapWriter::PcapWriter(const std::string& path) : path(path == "-" ? "standard output" : path) {
  if (path == "-") {
    if (::isatty(STDOUT_FILENO)) {
      throw ToolError{ErrorKind::kBadInput,
                      "--pcap -: standard output is a terminal; pipe the capture on "
                      "(tarvin-remote replay -, wireshark -k -i -)"};
    }
    fd.reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
  } else {
    fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  }
  if (!fd)
    throw ToolError{ErrorKind::kBadInput,
                    "cannot create " + this->path + ": " + std::strerror(errno)};
  writeAll(fd.get(), pcapFileHeader(), path);
}

void PcapWriter::write(const RawDatagram& datagram) {
  writeAll(fd.get(), pcapPacket(datagram), path);
}

PcapContents readPcap(const std::string& path) {
  if (path == "-") {
    const codec::Bytes file{std::istreambuf_iterator<char>(std::cin),
                            std::istreambuf_iterator<char>()};
    return parsePcap(file, "standard input");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw ToolError{ErrorKind::kBadInput, "cannot open " + path + ": " + std::strerror(errno)};
  const codec::Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return parsePcap(file, path);
}

}  // namespace remote
