// tests/hardening/churn_test.cpp
//
// Registration churn while host threads log: clients register, renew,
// unregister and fall silent until their (shortened) idle timers expire.
// Afterwards every client timer is closed, the five slots are free again,
// and releasing the target returns descriptors and threads to their start.
// (Leaked memory is LeakSanitizer's to find, in the asan preset.)
#include <random>
#include <thread>

#include "support/target_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr int kChurners = 8;
constexpr int kStepsPerChurner = 120;
constexpr int kIdleTimerMs = 40;

// Waits for a count to settle at `expected` (timers expire on their own
// schedule); returns the last count seen.
int settle(int (*count)(), int expected, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int now = count();
  while (now != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    now = count();
  }
  return now;
}

class HardeningChurn : public TargetTest {};

TEST_F(HardeningChurn, ClientsComingAndGoingLeaveNoTimersThreadsOrSlotsBehind) {
  fault::setTimerMilliseconds(kIdleTimerMs);
  // ThreadSanitizer starts a thread of its own with the process's first
  // pthread_create(); let that happen before counting.
  std::thread([] {}).join();
  const int startDescriptors = openDescriptors();
  const int startThreads = runningThreads();
  {
    Target target;
    const int idleDescriptors = openDescriptors();  // the target's own, no clients

    std::atomic<bool> churning{true};
    std::vector<std::thread> loggers;
    for (int l = 0; l < 2; ++l) {
      loggers.emplace_back([&] {
        while (churning) target.log(5, "churn");
      });
    }
    std::vector<std::thread> churners;
    for (int c = 0; c < kChurners; ++c) {
      churners.emplace_back([&target, c] {
        LoopbackClient client;
        client.setReceiveBuffer(4096);  // records nobody reads are dropped
        std::mt19937 random(static_cast<unsigned>(c) + 7);
        for (int step = 0; step < kStepsPerChurner; ++step) {
          // Register (or renew) twice as often as unregister or fall silent past the idle timeout.
          const unsigned action = random() % 4;
          if (action < 3) {
            client.send(target.port(), descriptorOnly(action < 2 ? wire::kRegistrationRequest
                                                                 : wire::kUnregistrationRequest));
          } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kIdleTimerMs + random() % 20));
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(random() % 3));
        }
        client.send(target.port(), descriptorOnly(wire::kUnregistrationRequest));
      });
    }
    for (auto& t : churners) t.join();
    churning = false;
    for (auto& t : loggers) t.join();

    // Every client left or expired: each timer descriptor was closed.
    EXPECT_EQ(settle(openDescriptors, idleDescriptors), idleDescriptors) << "client timers leaked";
    EXPECT_EQ(runningThreads(), startThreads + 1) << "only the worker should run";

    // And every slot is free: five newcomers register.
    fault::setTimerMilliseconds(0);  // the newcomers must not expire meanwhile
    LoopbackClient newcomers[5];
    for (const auto& c : newcomers)
      EXPECT_TRUE(c.registerWith(target.port())) << "a slot is still taken";
  }
  EXPECT_EQ(openDescriptors(), startDescriptors);
  EXPECT_EQ(settle(runningThreads, startThreads), startThreads);
}

}  // namespace
