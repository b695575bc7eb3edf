// tools/capture/pcap_file.h
//
// Capture files: PcapWriter records tail's datagrams as they arrive, and
// readPcap() loads a whole file for replay. The format is pcap.h's.
//
// Threads: a writer belongs to one thread.
#pragma once

#include <string>

#include "capture/pcap.h"
#include "common/unique_fd.h"
#include "model/raw_datagram.h"

namespace remote {

class PcapWriter {
 public:
  // Creates or truncates `path` ("-": standard output, which must not be
  // a terminal) and writes the file header. Throws ToolError when the
  // file cannot be written.
  explicit PcapWriter(const std::string& path);

  // One write() per packet, so a capture cut short by a kill holds whole
  // packets up to the last one. Throws ToolError on a failed write (a full
  // disk must not silently end the recording).
  void write(const RawDatagram& datagram);

 private:
  std::string path;
  UniqueFd fd;
};

// Reads and parses a whole capture ("-": standard input). Throws ToolError
// when the file cannot be read or parsePcap() refuses it.
PcapContents readPcap(const std::string& path);

}  // namespace remote
