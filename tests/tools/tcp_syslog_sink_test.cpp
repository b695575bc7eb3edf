// tests/tools/tcp_syslog_sink_test.cpp
//
// forward's TCP collector against a loopback listener of the test's own:
// reconnecting after the collector closes, the resend window, a full queue
// while a frame is half written, and the drain at exit. The collector
// parses every octet-counted frame, so a broken frame or a message out of
// place fails the test, not only a missing one.
//
// Threads: the sink and the collector share the test's thread (pump()
// drives both), except in the drain cases, where drain() blocks and the
// collector runs on a thread of its own.
#include "syslog/tcp_syslog_sink.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/socket_address.h"
#include "common/unique_fd.h"

namespace {

using namespace std::chrono_literals;
using remote::Clock;
using remote::TcpSyslogSink;

// A message of `size` bytes that names its number and is filled with a
// letter of its own: "m7 hhhh...". Two messages spliced at any byte are
// neither.
char fillOf(int number) { return static_cast<char>('a' + number % 26); }
std::string message(int number, std::size_t size = 40) {
  std::string text = "m" + std::to_string(number) + " ";
  text.resize(std::max(size, text.size()), fillOf(number));
  return text;
}

// The number message() put in `text`, or -1 when it is no such message.
int numberOf(const std::string& text) {
  if (text.size() < 3 || text[0] != 'm') return -1;
  const std::size_t space = text.find(' ');
  if (space == std::string::npos || space < 2 || space > 7) return -1;
  for (std::size_t i = 1; i < space; ++i)
    if (text[i] < '0' || text[i] > '9') return -1;
  const int number = std::stoi(text.substr(1, space - 1));
  for (std::size_t i = space + 1; i < text.size(); ++i)
    if (text[i] != fillOf(number)) return -1;
  return number;
}

// One collector connection's bytes, cut into octet-counted frames; every
// frame must hold a message() whole.
struct Frames {
  std::vector<int> numbers;
  bool broken = false;
  std::size_t rest = 0;  // bytes of a frame not (yet) complete
};
Frames parseFrames(const std::string& stream) {
  Frames out;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t space = stream.find(' ', at);
    if (space == std::string::npos) break;
    std::size_t length = 0;
    for (std::size_t i = at; i < space; ++i) {
      if (stream[i] < '0' || stream[i] > '9' || space - at > 9) {
        out.broken = true;
        return out;
      }
      length = length * 10 + static_cast<std::size_t>(stream[i] - '0');
    }
    if (space == at || stream.size() - space - 1 < length) break;
    const int number = numberOf(stream.substr(space + 1, length));
    if (number < 0) {
      out.broken = true;
      return out;
    }
    out.numbers.push_back(number);
    at = space + 1 + length;
  }
  out.rest = stream.size() - at;
  return out;
}

// A TCP listener on 127.0.0.1 that takes one connection at a time and
// keeps each connection's bytes.
class Collector {
 public:
  explicit Collector(int receiveBuffer = 0) {
    listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(listener);
    // Set before listen(): accepted sockets inherit it, and a small one
    // makes the sink's writes stall after a few frames.
    if (receiveBuffer > 0) {
      ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    const sockaddr_in address = loopbackAddress(0);
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    port = localPort(listener.get());
  }

  void listen() { EXPECT_EQ(::listen(listener.get(), 4), 0); }

  remote::CollectorUrl url() const {
    return remote::parseCollectorUrl("tcp://127.0.0.1:" + std::to_string(port));
  }

  // Accepts a waiting connection, and reads what it has when `reading`.
  // Returns false once the peer has closed (its FIN read).
  bool poll() {
    if (!connection) {
      connection.reset(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (connection) {
        streams.emplace_back();
        peerClosed = false;
      }
    }
    if (!connection || !reading) return true;
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        streams.back().append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) peerClosed = true;
      return n != 0;
    }
  }

  // Closes the connection; unread bytes make it a reset.
  void close() { connection.reset(); }

  std::vector<pollfd> fds() const {
    return {{listener.get(), POLLIN, 0}, {connection ? connection.get() : -1, POLLIN, 0}};
  }

  std::vector<int> numbers(std::size_t stream) const {
    const Frames frames = parseFrames(streams.at(stream));
    EXPECT_FALSE(frames.broken) << "connection " << stream << " carries a broken frame";
    return frames.numbers;
  }
  std::size_t connections() const { return streams.size(); }

  UniqueFd listener;
  UniqueFd connection;
  std::uint16_t port = 0;
  bool reading = true;
  bool peerClosed = false;
  std::vector<std::string> streams;  // one per accepted connection
};

// Runs the sink's loop and the collector side by side until `done`;
// fails after a generous bound, which only a hang reaches.
void pump(TcpSyslogSink& sink, Collector& collector, const std::function<bool()>& done) {
  const auto giveUp = Clock::now() + 20s;
  while (!done()) {
    ASSERT_LT(Clock::now(), giveUp) << "the sink and the collector got stuck";
    std::vector<pollfd> fds = collector.fds();
    pollfd* sinkFd = sink.waitFor();
    if (sinkFd != nullptr) fds.push_back(*sinkFd);
    const auto deadline = sink.nextDeadline(Clock::now() + 20ms);
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    ::poll(fds.data(), fds.size(), static_cast<int>(std::max(wait.count(), 0L)) + 1);
    if (sinkFd != nullptr && fds.back().revents != 0) sink.onReady(fds.back().revents);
    sink.onTimers(Clock::now());
    collector.poll();
  }
}

std::vector<int> range(int first, int last) {
  std::vector<int> out;
  for (int i = first; i <= last; ++i) out.push_back(i);
  return out;
}

// The collector goes away after the first ten messages, having read them
// or not; the sink reconnects and sends the last `window` written again,
// then five new ones. What the second connection carries says which
// messages the window saved.
TEST(TcpSyslogSink, ReconnectsAfterTheCollectorClosesAndResendsTheWindow) {
  static const struct {
    const char* name;
    bool readBeforeClose;
    std::size_t window;
    std::vector<int> second;  // the second connection's messages, in order
  } kCases[] = {
      {"read, then closed: the window comes again", true, 4, range(6, 14)},
      {"closed unread: the window saves them all", false, 16, range(0, 14)},
      {"closed unread, a smaller window: the newest it holds", false, 3, range(7, 14)},
      {"no window: only the new ones", true, 0, range(10, 14)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Collector collector;
    collector.listen();
    collector.reading = c.readBeforeClose;
    testing::internal::CaptureStderr();
    TcpSyslogSink sink(collector.url(), /*queueCapacity=*/100, c.window);
    for (int i = 0; i < 10; ++i) sink.push(message(i));
    sink.flush();
    pump(sink, collector, [&] {
      if (c.readBeforeClose)
        return collector.connections() == 1 && collector.numbers(0).size() == 10;
      // Unread: the ten are written once the sink's queue is empty.
      pollfd* fd = sink.waitFor();
      return collector.connections() == 1 && fd != nullptr && (fd->events & POLLOUT) == 0;
    });
    collector.close();
    collector.reading = true;
    pump(sink, collector, [&] { return sink.waitFor() == nullptr; });  // the sink saw it go
    for (int i = 10; i < 15; ++i) sink.push(message(i));
    sink.flush();
    pump(sink, collector, [&] {
      return collector.connections() == 2 && collector.numbers(1).size() >= c.second.size();
    });
    EXPECT_EQ(collector.numbers(1), c.second);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("lost connection to"), std::string::npos) << said;
    EXPECT_NE(said.find("reconnected to"), std::string::npos) << said;
  }
}

// A collector that stops reading fills the socket; the queue (four
// messages) then drops its oldest, except the one already begun on the
// socket: dropping that would leave the collector half a frame, and every
// frame after it would be read at the wrong length.
TEST(TcpSyslogSink, FullQueueKeepsTheFrameBegunOnTheSocket) {
  constexpr std::size_t kSize = 3001;        // an odd size: a stall rarely ends a frame
  constexpr std::size_t kFrame = 5 + kSize;  // "3001 " and the message
  Collector collector(/*receiveBuffer=*/4096);
  collector.listen();
  collector.reading = false;
  testing::internal::CaptureStderr();
  TcpSyslogSink sink(collector.url(), /*queueCapacity=*/4, /*resendWindow=*/0);
  pump(sink, collector, [&] { return collector.connections() == 1 && sink.waitFor() != nullptr; });

  // Writes until the socket takes no more, with the front frame begun:
  // the bytes the sink has written are in its send queue, the collector's
  // receive queue or already read.
  int next = 0;
  std::size_t begun = 0;
  for (int round = 0; round < 50 && begun == 0; ++round) {
    for (pollfd* fd = sink.waitFor(); (fd->events & POLLOUT) == 0; fd = sink.waitFor()) {
      ASSERT_LT(next, 100'000) << "the socket never filled";
      sink.push(message(next++, kSize));
      sink.flush();
    }
    int unsent = 0, unread = 0;
    ASSERT_EQ(::ioctl(sink.waitFor()->fd, SIOCOUTQ, &unsent), 0);
    ASSERT_EQ(::ioctl(collector.connection.get(), SIOCINQ, &unread), 0);
    begun = (collector.streams[0].size() + static_cast<std::size_t>(unsent + unread)) % kFrame;
    if (begun == 0) {  // the stall ended a frame: let some through and fill again
      collector.reading = true;
      collector.poll();
      collector.reading = false;
    }
  }
  ASSERT_NE(begun, 0u) << "every stall ended a frame";
  const int front = next - 1;  // the one begun
  for (int i = 0; i < 6; ++i) sink.push(message(next++, kSize));

  collector.reading = true;
  pump(sink, collector, [&] {
    pollfd* fd = sink.waitFor();
    return (fd->events & POLLOUT) == 0 && !collector.numbers(0).empty() &&
           collector.numbers(0).back() == next - 1;
  });
  std::vector<int> expected = range(0, front);
  for (int i = front + 4; i < next; ++i) expected.push_back(i);  // three dropped after it
  EXPECT_EQ(collector.numbers(0), expected);
  EXPECT_EQ(parseFrames(collector.streams[0]).rest, 0u);
  EXPECT_FALSE(sink.report());
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("is full (4 messages); dropping the oldest"), std::string::npos) << said;
  EXPECT_NE(said.find("dropped 3 (queue full)"), std::string::npos) << said;
}

// The drain at exit: the collector on a thread of its own, as drain()
// blocks. Five messages queued, never flushed before drain().
TEST(TcpSyslogSink, DrainDeliversWhatIsQueuedOrSaysWhatWasNot) {
  enum class Peer { kClosesAfterFin, kListensLate, kAbsent, kKeepsOpen, kNeverReads };
  static const struct {
    const char* name;
    Peer peer;
    std::size_t size;  // of each message
    std::chrono::milliseconds limit;
    bool complete;         // report()
    std::size_t received;  // messages the collector has whole
    const char* said;
    const char* unsaid = "confirm";  // a collector that closed confirmed all
  } kCases[] = {
      {"closes once it read all", Peer::kClosesAfterFin, 40, 10s, true, 5, "sent 5 messages to"},
      {"listens only after a while", Peer::kListensLate, 40, 10s, true, 5, "connected to"},
      {"never there", Peer::kAbsent, 40, 300ms, false, 0,
       "5 not delivered (collector unreachable)"},
      {"keeps its side open", Peer::kKeepsOpen, 40, 500ms, true, 5,
       "that it read the last 5 is not confirmed", "not delivered"},
      {"never reads", Peer::kNeverReads, 1'000'000, 500ms, false, 0,
       "not delivered (the collector did not take them)", "acknowledged"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Collector collector(c.peer == Peer::kNeverReads ? 4096 : 0);
    if (c.peer != Peer::kListensLate && c.peer != Peer::kAbsent) collector.listen();
    collector.reading = c.peer != Peer::kNeverReads;
    std::atomic<bool> stop = false;
    std::thread peer([&] {
      if (c.peer == Peer::kAbsent) return;
      if (c.peer == Peer::kListensLate) {
        std::this_thread::sleep_for(300ms);  // the sink has been refused by now
        collector.listen();
      }
      while (!stop) {
        std::vector<pollfd> fds = collector.fds();
        ::poll(fds.data(), fds.size(), 10);
        collector.poll();
        if (collector.peerClosed && c.peer != Peer::kKeepsOpen) {
          collector.close();
          return;
        }
      }
    });
    testing::internal::CaptureStderr();
    {
      TcpSyslogSink sink(collector.url(), /*queueCapacity=*/100, /*resendWindow=*/16);
      for (int i = 0; i < 5; ++i) sink.push(message(i, c.size));
      sink.drain(c.limit);
      stop = true;
      peer.join();
      EXPECT_EQ(sink.report(), c.complete);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(said.find(c.unsaid), std::string::npos) << said;
    const std::size_t received =
        collector.streams.empty() ? 0 : parseFrames(collector.streams[0]).numbers.size();
    EXPECT_EQ(received, c.received);
    if (c.received > 0) {
      EXPECT_EQ(collector.numbers(0), range(0, 4));
    }
  }
}

}  // namespace
