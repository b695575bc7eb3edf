// src/target/spin_then_park_lock.h
//
// SpinThenParkLock: the lock that serialises log() across host threads. A
// waiter spins for about the time one record's sends take, with the lock
// reserved for it at the next release, then parks in the kernel until an
// unlock wakes it. A thread that has just handed the lock to a spinning
// waiter sits out a turn instead of taking it straight back, so two busy
// threads pass the lock once a turn, not once a record. Why, with the
// numbers: spin_then_park_lock.cpp.
//
// Threads: any thread may call lock() and unlock(); unlock() is called by
// the thread that holds the lock. Not recursive.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "target/thread_annotations.h"

class CAPABILITY("mutex") SpinThenParkLock {
 public:
  // How long a waiter spins before it parks: about one record's sendto()
  // calls to five clients, so a spinning waiter catches the release of a
  // normal hold, and parks when the holder is descheduled or blocked.
  static constexpr std::chrono::nanoseconds kSpinLimit = std::chrono::microseconds(30);
  // How long a thread that handed the lock to a spinner stays away from it:
  // long against the cost of one hand-over (a spin and two context
  // switches), short against anything a host thread would notice.
  static constexpr std::chrono::nanoseconds kTurn = std::chrono::microseconds(200);

  SpinThenParkLock() = default;
  SpinThenParkLock(const SpinThenParkLock&) = delete;
  SpinThenParkLock& operator=(const SpinThenParkLock&) = delete;

  // Hot path: one compare-and-swap when the lock is free and nobody waits.
  void lock() ACQUIRE() {
    std::uint32_t unlocked = 0;
    if (!word.compare_exchange_strong(unlocked, kLocked, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      lockContended();
    }
    holder.store(::pthread_self(), std::memory_order_relaxed);
  }

  // Hot path: one compare-and-swap when nobody waits; a system call only
  // when a waiter is parked.
  void unlock() RELEASE() {
    std::uint32_t locked = kLocked;
    if (!word.compare_exchange_strong(locked, 0, std::memory_order_release,
                                      std::memory_order_relaxed)) {
      unlockContended(locked);
    }
  }

 private:
  // The futex word.
  static constexpr std::uint32_t kLocked = 1;
  // A waiter may sleep in the kernel. The unlock that clears it wakes one
  // sleeper, and that thread sets it again when it takes the lock or parks,
  // so a second sleeper is woken in its turn and no unlock in between pays
  // a system call for a waiter that has not run yet.
  static constexpr std::uint32_t kParked = 2;
  // A waiter spins and the next release is its: a free lock with this bit
  // set is not free for anyone else, so the holder cannot take it back.
  static constexpr std::uint32_t kReserved = 4;

  void lockContended();
  void unlockContended(std::uint32_t current);
  // Spins until the lock is released to this thread (which has set
  // kReserved) and takes it with `lockedBits`, or gives up kSpinLimit after
  // `start` and clears kReserved; true when taken.
  bool spinFor(std::uint32_t lockedBits, std::int64_t start);
  // Sets kParked and sleeps in the kernel until an unlock() wakes this
  // thread; returns at once if the word changes first.
  void park();
  void wakeOne();

  std::atomic<std::uint32_t> word{0};
  static_assert(sizeof(word) == sizeof(std::uint32_t), "the futex system call reads 32 bits");

  // The thread that holds the lock; stored by it after taking the lock,
  // read by the spinner it releases the lock to.
  std::atomic<pthread_t> holder{};
  // The last hand-over to a spinner: from which thread, and when
  // (CLOCK_MONOTONIC nanoseconds). Read without the lock; a stale pair
  // costs at most one wrong guess whether to sit out the turn.
  std::atomic<pthread_t> lastLoser{};
  std::atomic<std::int64_t> turnStart{0};
};
