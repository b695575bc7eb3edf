// tests/target/spin_then_park_lock_test.cpp
//
// SpinThenParkLock under contention: one holder at a time however the
// waiters wait (spinning, sitting out a turn, parked in the kernel), and no
// parked waiter left asleep when a holder that slept with the lock lets go.
//
// Threads: each test starts its own threads and joins them.
#include "target/spin_then_park_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "target/mutex.h"

namespace {

using namespace std::chrono_literals;

// Shared by the threads of one test; leaked if a waiter never wakes, so a
// thread still asleep on it never touches freed memory.
struct Contended {
  SpinThenParkLock lock;
  long count GUARDED_BY(lock) = 0;
  bool inside GUARDED_BY(lock) = false;
  bool overlapped GUARDED_BY(lock) = false;
  std::mutex doneMutex;
  std::condition_variable doneChanged;
  int done = 0;  // threads finished, under doneMutex

  // Holds the lock for `hold`: busy like a send when short, asleep like a
  // descheduled holder when long.
  void enterAndLeave(std::chrono::nanoseconds hold) {
    MutexLock held(lock);
    overlapped = overlapped || inside;
    inside = true;
    ++count;
    if (hold > SpinThenParkLock::kSpinLimit) {
      std::this_thread::sleep_for(hold);
    } else {
      const auto end = std::chrono::steady_clock::now() + hold;
      while (std::chrono::steady_clock::now() < end) {
      }
    }
    inside = false;
  }
  void finish() {
    std::lock_guard guard(doneMutex);
    ++done;
    doneChanged.notify_all();
  }
  bool allFinished(int threads) {
    std::unique_lock guard(doneMutex);
    return doneChanged.wait_for(guard, 30s, [&] { return done == threads; });
  }
};

// Runs `threads` threads that each take the lock `rounds` times; fails,
// rather than hangs, when one of them is never let in.
void runContended(Contended& shared, int threads, int rounds, std::chrono::nanoseconds hold) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&shared, rounds, hold] {
      for (int i = 0; i < rounds; ++i) shared.enterAndLeave(hold);
      shared.finish();
    });
  }
  if (!shared.allFinished(threads)) {
    for (auto& w : workers) w.detach();
    FAIL() << "a waiter was never let in";
  }
  for (auto& w : workers) w.join();
}

TEST(SpinThenParkLock, OneHolderAtATimeHoweverTheWaitersWait) {
  static const struct {
    const char* name;
    int threads;
    int rounds;
    std::chrono::nanoseconds hold;
  } kCases[] = {
      // Holds as short as a send: a waiter spins and takes over, and the
      // thread it took over from sits out a turn. Enough rounds for a few
      // hundred hand-overs.
      {"two threads, holds as short as a send", 2, 20000, 2us},
      {"four threads, holds as short as a send", 4, 10000, 2us},
      // Holds longer than the spin: waiters park and every unlock wakes one.
      {"four threads, holds past the spin limit", 4, 100, SpinThenParkLock::kSpinLimit * 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto* shared = new Contended;
    runContended(*shared, c.threads, c.rounds, c.hold);
    if (HasFatalFailure()) return;  // `shared` stays: a waiter may still sleep on it
    {
      MutexLock held(shared->lock);
      EXPECT_EQ(shared->count, static_cast<long>(c.threads) * c.rounds);
      EXPECT_FALSE(shared->overlapped);
    }
    delete shared;
  }
}

// The holder sleeps with the lock until every waiter has given up spinning
// and parked; its one unlock must start the chain that lets each one in.
TEST(SpinThenParkLock, ParkedWaitersAllGetInAfterASleepingHolderLetsGo) {
  for (int round = 0; round < 20; ++round) {
    auto* shared = new Contended;
    std::atomic<bool> taken{false};
    std::thread holder([shared, &taken] {
      MutexLock held(shared->lock);
      taken = true;
      std::this_thread::sleep_for(20ms);  // far past the spin limit and a turn
    });
    while (!taken) std::this_thread::yield();
    runContended(*shared, /*threads=*/3, /*rounds=*/1, 0ns);
    holder.join();
    if (HasFatalFailure()) return;
    delete shared;
  }
}

}  // namespace
