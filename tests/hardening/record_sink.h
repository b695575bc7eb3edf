// tests/hardening/record_sink.h
//
// A registered client built for volume: a loopback socket whose receive
// buffer is forced large, and a reader thread that collects every datagram
// while host threads log, so that a burst of records is not lost to a full
// buffer. Also the parser that tells a whole log record from a torn one.
//
// Threads: a sink is set up and read on the test's thread; its reader thread
// only appends to `received` under `mutex`.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_client.h"

// A log record that parsed whole: descriptor 48, at most 2047 bytes, four
// NUL-terminated strings that end exactly at the datagram's end, and a
// length of 48 plus the lengths of the strings.
struct LogRecord {
  std::uint32_t sequence;
  std::string strings[4];
};
std::optional<LogRecord> parseLogRecord(const Bytes& datagram);

class RecordSink {
 public:
  RecordSink();
  ~RecordSink();
  RecordSink(const RecordSink&) = delete;
  RecordSink& operator=(const RecordSink&) = delete;

  std::uint16_t port() const { return ownPort; }
  // RRQ, then the confirm and `components` component infos, read before
  // the reader starts. False when the confirm does not come.
  bool registerWith(std::uint16_t targetPort, std::size_t components = 0);
  // Starts collecting datagrams on the reader thread.
  void start();
  // Waits until a log record whose fourth string is `marker` has arrived or
  // the timeout has passed, stops the reader and returns every datagram.
  std::vector<Bytes> stopAfter(const std::string& marker,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  void readLoop();

  int fd = -1;
  std::uint16_t ownPort = 0;
  std::thread reader;
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Bytes> received;  // guarded by mutex
};
