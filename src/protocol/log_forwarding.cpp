// src/protocol/log_forwarding.cpp
//
// log(): one host message becomes one log record, built once in the log
// buffer and sent, byte for byte the same, to every registered client.
//
// Threads: any host thread, concurrently. logMutex serialises the records
// (buffer and sequence number); registryMutex is held only to copy the at
// most five destinations, so the worker thread never waits behind a
// sendto() that blocks on a full socket buffer.
//
// Why a plain mutex: log() runs inside someone else's process, on threads
// that may be preempted, stopped, cancelled or interrupted by a signal
// handler that logs in turn. A waiter of a std::mutex sleeps in the kernel
// and holds no claim on the lock while it waits, so none of that can keep
// another thread from a free lock, and lock() is no cancellation point.
// Cleverer waiting (spinning with the next hand-over reserved, sitting out
// turns) bought two busy threads some rate and cost every one of those
// cases a stall or a hang.
#include <pthread.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "target/log_target_remote.h"
#include "tarvin/host_api.h"
#include "wire/byte_order.h"
#include "wire/wire_format.h"

static_assert(CLogtargetRemote::kBufferSize == wire::kMaxDatagramSize);

namespace {

// Keeps the calling thread from being cancelled from disable() until it is
// destroyed, then puts back the thread's own setting. sendto() is a
// cancellation point: a host thread cancelled inside it would unwind
// through log() with the record lock held, and a host built without unwind
// tables would leave the lock held for good. Declared before the lock, so
// the setting comes back after the unlock: a pending cancellation of an
// asynchronously cancellable thread acts there, never under the lock.
class CancellationOff {
 public:
  CancellationOff() = default;
  ~CancellationOff() {
    if (disabled) ::pthread_setcancelstate(previous, nullptr);
  }
  CancellationOff(const CancellationOff&) = delete;
  CancellationOff& operator=(const CancellationOff&) = delete;

  void disable() { disabled = ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous) == 0; }

 private:
  int previous = PTHREAD_CANCEL_ENABLE;
  bool disabled = false;
};

}  // namespace

// Hot path: no allocation; the record lock is held across the sends, which
// read the log buffer, and the registry lock, when clients are registered,
// only around the copy of the destinations.
void CLogtargetRemote::log(int int1, int int2, long int3, int int4, tarvin_level* level,
                           const std::string& str1, const std::string& str2,
                           const std::string& str3, const std::string& str4) {
  const unsigned int mask = tarvin_level_to_mask(level);  // on every call, dropped or not

  // Summed in size_t: four strings of any length cannot wrap the sum into a
  // small number that would pass the test below.
  const std::size_t total =
      wire::log_record::kMinSize + str1.size() + str2.size() + str3.size() + str4.size();
  if (total >= kBufferSize) return;  // dropped whole; the count does not move

  const std::uint32_t clientMask = masktoClientMask(mask);
  // `long` is narrowed to its low 32 bits, as the integers are two's complement.
  const std::array<std::uint32_t, wire::log_record::kIntegerCount> integers = {
      static_cast<std::uint32_t>(int1), static_cast<std::uint32_t>(int2),
      static_cast<std::uint32_t>(int3), static_cast<std::uint32_t>(int4)};
  const std::array<const std::string*, wire::log_record::kStringCount> strings = {&str1, &str2,
                                                                                  &str3, &str4};

  // Held across the sends: the next record would overwrite these bytes.
  CancellationOff noCancellation;
  MutexLock recordLock(logMutex);
  char* out = logBuffer.data();
  writeHeader(out, wire::kLogRecord);
  wire::storeBe32(out + wire::log_record::kSequenceOffset, sequenceNumber++);
  char* at = out + wire::log_record::kIntegersOffset;
  for (std::uint32_t value : integers) {
    wire::storeBe32(at, value);
    at += wire::kFieldSize;
  }
  wire::storeBe32(out + wire::log_record::kClientMaskOffset, clientMask);
  at = out + wire::log_record::kStringsOffset;
  for (const std::string* text : strings) {
    // The whole string, NUL bytes inside it included, then its terminator.
    std::memcpy(at, text->data(), text->size());
    at[text->size()] = '\0';
    at += text->size() + 1;
  }

  std::array<sockaddr_in, kMaxClients> destinations;
  std::size_t destinationCount = 0;
  // Most hosts are watched by nobody most of the time: skip the registry
  // lock then. Acquire pairs with the release in addClient(), so a client
  // whose registration confirm has gone out is seen here.
  if (registeredCount.load(std::memory_order_acquire) != 0) {
    MutexLock registryLock(registryMutex);
    for (const CLogClient& client : clients) destinations[destinationCount++] = client.address;
  }
  // Only the sends can be cancelled; a cancellation waits for the host's
  // next cancellation point after this call.
  if (destinationCount != 0) noCancellation.disable();
  for (std::size_t i = 0; i < destinationCount; ++i) {
    // One unreachable client must not cost the others their record.
    ::sendto(logSocket, out, total, /*flags=*/0,
             reinterpret_cast<const sockaddr*>(&destinations[i]), sizeof destinations[i]);
  }
}
