// tests/hardening/lifecycle_test.cpp
//
// Many create/release cycles, each with clients registered and records
// delivered, leave descriptors, threads and heap where they began.
// Leaks of memory are also caught by LeakSanitizer in the asan preset; the
// heap comparison here covers builds without it.
#include <malloc.h>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr int kCycles = 150;
constexpr int kClientsPerCycle = 3;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapIsOurs = false;  // the sanitizer's allocator keeps its own books
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kHeapIsOurs = false;
#else
constexpr bool kHeapIsOurs = true;
#endif
#else
constexpr bool kHeapIsOurs = true;
#endif

class HardeningLifecycle : public TargetTest {
 protected:
  // One full life: create, register the clients, deliver a record to each,
  // release. Fault records and captured messages are emptied, so that the
  // test's own bookkeeping does not grow from cycle to cycle.
  void cycle(std::vector<std::unique_ptr<LoopbackClient>>& clients) {
    {
      Target target;
      for (auto& c : clients) ASSERT_TRUE(c->registerWith(target.port()));
      target.log(5, "cycle");
      for (auto& c : clients) {
        const auto record = c->receive();
        ASSERT_TRUE(record);
        ASSERT_EQ(be32At(*record, 0), wire::kLogRecord);
      }
    }
    fault::reset();
    syslog_capture::clear();
  }
};

TEST_F(HardeningLifecycle, ManyCyclesWithClientsLeaveDescriptorsThreadsAndHeapUnchanged) {
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < kClientsPerCycle; ++i) clients.push_back(std::make_unique<LoopbackClient>());
  cycle(clients);  // warm-up: first-use allocations of the plug-in and the test support
  cycle(clients);

  const int descriptors = openDescriptors();
  const int threads = runningThreads();
  const std::size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < kCycles && !HasFatalFailure(); ++i) cycle(clients);

  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(runningThreads(), threads);
  if (kHeapIsOurs) {
    // A leaked buffer, client or thread object per cycle would show as at
    // least kCycles * 16 bytes; allocator noise stays well below this.
    const auto grown = static_cast<long>(mallinfo2().uordblks) - static_cast<long>(heap);
    EXPECT_LT(grown, kCycles * 16L) << "the heap grew by " << grown << " bytes over " << kCycles << " cycles";
  }
}

}  // namespace
