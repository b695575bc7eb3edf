// tests/hardening/record_sink.cpp: a high-volume registered client.
//
// Threads: set-up and stopAfter() on the test's thread; readLoop() on the
// sink's reader thread.
#include "hardening/record_sink.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "protocol/byte_order.h"
#include "protocol/wire_format.h"

std::optional<LogRecord> parseLogRecord(const Bytes& datagram) {
  namespace layout = wire::log_record;
  if (datagram.size() < layout::kMinSize || datagram.size() >= wire::kMaxDatagramSize) return {};
  if (wire::loadBe32(datagram.data()) != wire::kLogRecord) return {};
  LogRecord record;
  record.sequence = wire::loadBe32(datagram.data() + layout::kSequenceOffset);
  std::size_t at = layout::kStringsOffset;
  std::size_t textBytes = 0;
  for (std::string& text : record.strings) {
    if (at >= datagram.size()) return {};
    const auto* begin = reinterpret_cast<const char*>(datagram.data()) + at;
    const void* nul = std::memchr(begin, 0, datagram.size() - at);
    if (nul == nullptr) return {};
    text.assign(begin, static_cast<const char*>(nul));
    at += text.size() + 1;
    textBytes += text.size();
  }
  if (at != datagram.size() || datagram.size() != layout::kMinSize + textBytes) return {};
  return record;
}

RecordSink::RecordSink() {
  fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) throw std::runtime_error("cannot open sink socket");
  // Forced past rmem_max where we may (root in the test's namespace): a
  // burst of records must wait in the buffer while the reader is not
  // scheduled, as it is not under ThreadSanitizer. Otherwise the default.
  const int bytes = 8 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot bind sink socket");
  }
  ownPort = ntohs(address.sin_port);
}

RecordSink::~RecordSink() {
  stopping = true;
  if (reader.joinable()) reader.join();
  ::close(fd);
}

bool RecordSink::registerWith(std::uint16_t targetPort, std::size_t components) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(targetPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const Bytes rrq = descriptorOnly(wire::kRegistrationRequest);
  ::sendto(fd, rrq.data(), rrq.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  Bytes datagram(65536);
  for (std::size_t i = 0; i <= components; ++i) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, /*timeout=*/3000) != 1) return false;
    const ssize_t n = ::recv(fd, datagram.data(), datagram.size(), 0);
    if (i == 0 && (n < 4 || wire::loadBe32(datagram.data()) != wire::kRegistrationConfirm)) return false;
  }
  return true;
}

void RecordSink::start() { reader = std::thread(&RecordSink::readLoop, this); }

void RecordSink::readLoop() {
  Bytes buffer(65536);  // larger than any datagram, so a long one shows whole
  while (!stopping) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, /*timeout=*/20) != 1) continue;  // re-checks `stopping`
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0) continue;
    {
      std::lock_guard lock(mutex);
      received.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    arrived.notify_all();
  }
}

std::vector<Bytes> RecordSink::stopAfter(const std::string& marker, std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex);
    std::size_t checked = 0;
    arrived.wait_for(lock, timeout, [&] {
      for (; checked < received.size(); ++checked) {
        const auto record = parseLogRecord(received[checked]);
        if (record && record->strings[3] == marker) return true;
      }
      return false;
    });
  }
  stopping = true;
  if (reader.joinable()) reader.join();
  std::lock_guard lock(mutex);
  return received;
}
