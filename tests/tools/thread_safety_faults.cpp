// tests/tools/thread_safety_faults.cpp
//
// Locking mistakes that clang's -Wthread-safety must refuse, one per value
// of TARVIN_FAULT, against the annotated Mutex, MutexLock and CondVar that
// the plug-in and the tools share; TARVIN_FAULT=0 is the same code done
// right, which must compile clean. thread_safety_test.sh compiles each.
//
// Threads: compiled only, never run.
#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"

#ifndef TARVIN_FAULT
#define TARVIN_FAULT 0
#endif

class Queue {
 public:
  void push(int value) {
    {
      MutexLock lock(mutex);
      last = value;
      ++count;
    }
    changed.notifyAll();
  }

  int waitForOne() {
#if TARVIN_FAULT == 4  // waits without holding the mutex
    changed.wait(mutex);
    return 0;
#else
    MutexLock lock(mutex);
    while (count == 0) changed.wait(mutex);
    return takeLocked();
#endif
  }

  int peek() {
#if TARVIN_FAULT == 1  // reads a guarded member without the lock
    return last;
#else
    MutexLock lock(mutex);
    return last;
#endif
  }

  void reset() {
#if TARVIN_FAULT == 2  // writes a guarded member without the lock
    count = 0;
#else
    MutexLock lock(mutex);
    count = 0;
#endif
  }

  int take() {
#if TARVIN_FAULT == 3  // calls a function that needs the lock without it
    return takeLocked();
#else
    MutexLock lock(mutex);
    return takeLocked();
#endif
  }

 private:
  int takeLocked() REQUIRES(mutex) {
    --count;
    return last;
  }

  Mutex mutex;
  CondVar changed;
  int last GUARDED_BY(mutex) = 0;
  int count GUARDED_BY(mutex) = 0;
};

int main() {
  Queue queue;
  queue.push(1);
  queue.reset();
  return queue.peek() + queue.take() + queue.waitForOne();
}
