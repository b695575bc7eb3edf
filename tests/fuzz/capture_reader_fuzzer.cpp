// tests/fuzz/capture_reader_fuzzer.cpp
//
// libFuzzer target for the capture readers, which read files users are
// sent (replay, record --import): arbitrary bytes go to parsePcap() as a
// whole capture file, classic pcap or pcapng. A file it refuses must be
// refused with a usage error that names it; a file it reads must give
// datagrams that fit in the file, each a whole UDP payload that the client
// codec then parses as the tools do, and that come back the same when
// written as tail --pcap writes them and read again.
//
// The seeds in capture_corpus/ are tiny captures of each format and link
// type the readers take.
//
// Threads: libFuzzer's thread only.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "base/tool_error.h"
#include "capture/pcap.h"
#include "codec/client_codec.h"

namespace {

[[noreturn]] void fail(const char* what, std::size_t a = 0, std::size_t b = 0) {
  std::fprintf(stderr, "capture_reader_fuzzer: %s (%zu, %zu)\n", what, a, b);
  std::abort();
}

// The datagrams written as tail --pcap writes them, for reading again.
codec::Bytes rewritten(const remote::PcapContents& contents) {
  codec::Bytes file = remote::pcapFileHeader();
  for (const remote::CapturedDatagram& d : contents.datagrams) {
    const codec::Bytes packet = remote::pcapPacket({d.at, d.from, d.to, d.payload});
    file.insert(file.end(), packet.begin(), packet.end());
  }
  return file;
}

// Whether tail --pcap's microsecond timestamp holds `at` as it is.
bool fitsPcapTime(remote::SystemClock::time_point at) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch());
  return micros.count() >= 0 && micros.count() / 1'000'000 <= 0xFFFFFFFFLL &&
         std::chrono::duration_cast<remote::SystemClock::duration>(micros) == at.time_since_epoch();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  remote::PcapContents contents;
  try {
    contents = remote::parsePcap(codec::ByteSpan(data, size), "input.pcap");
  } catch (const remote::ToolError& error) {
    if (error.kind != remote::ErrorKind::kBadInput) fail("refused as another kind of error");
    if (error.message.rfind("input.pcap: ", 0) != 0) fail("refused without naming the file");
    return 0;
  }
  std::size_t payloads = 0;
  for (const remote::CapturedDatagram& d : contents.datagrams) {
    payloads += d.payload.size();
    if (d.payload.size() > 65535 - 28) fail("payload larger than a UDP datagram", d.payload.size());
    (void)codec::parseDatagram(d.payload);
  }
  if (payloads > size) fail("more payload than the file holds", payloads, size);

  bool timesFit = true;
  for (const remote::CapturedDatagram& d : contents.datagrams)
    timesFit = timesFit && fitsPcapTime(d.at);
  if (!timesFit) return 0;
  const remote::PcapContents again = remote::parsePcap(rewritten(contents), "rewritten.pcap");
  if (again.datagrams.size() != contents.datagrams.size() || again.skipped != 0 || again.cut) {
    fail("written and read again, the datagrams changed", again.datagrams.size(),
         contents.datagrams.size());
  }
  for (std::size_t i = 0; i < again.datagrams.size(); ++i) {
    const remote::CapturedDatagram& a = contents.datagrams[i];
    const remote::CapturedDatagram& b = again.datagrams[i];
    if (a.at != b.at || a.payload != b.payload ||
        a.from.sin_addr.s_addr != b.from.sin_addr.s_addr || a.from.sin_port != b.from.sin_port ||
        a.to.sin_addr.s_addr != b.to.sin_addr.s_addr || a.to.sin_port != b.to.sin_port) {
      fail("written and read again, a datagram changed", i);
    }
  }
  return 0;
}
