// common/include/common/cond_var.h
//
// A condition variable that waits on the annotated Mutex (mutex.h), so that
// the analysis sees the lock held before, during and after every wait, as
// it is on each return. Write what a wait waits for as a loop around
// wait() in the function that holds the lock, never as a predicate lambda:
// the analysis checks no lambda against the locks its caller holds, so a
// guarded member read there would go unproven.
//
// Threads: wait() on a thread that holds the Mutex; notify*() on any thread,
// with or without it.
#pragma once

#include <chrono>
#include <condition_variable>

#include "common/mutex.h"
#include "common/thread_annotations.h"

class CondVar {
 public:
  // Gives `mutex` back while it waits, and holds it again on return, also
  // on a spurious wake-up: check what was waited for again.
  void wait(Mutex& mutex) REQUIRES(mutex) { impl.wait(mutex); }
  // As wait(), until `deadline` at the latest; false when it passed.
  template <typename Clock, typename Duration>
  bool waitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mutex) {
    return impl.wait_until(mutex, deadline) == std::cv_status::no_timeout;
  }

  void notifyOne() { impl.notify_one(); }
  void notifyAll() { impl.notify_all(); }

 private:
  std::condition_variable_any impl;
};
