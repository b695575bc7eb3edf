// common/include/common/mutex.h
//
// std::mutex with the attributes that -Wthread-safety reads, and the scoped
// lock for it. libstdc++'s own mutex carries no attributes, so the analysis
// could not see std::lock_guard take it. Header-only, on the standard
// library alone, so that the plug-in shares it with the tools.
//
// Threads: a Mutex is taken and given back by any thread; a MutexLock
// lives on the stack of the thread that took it.
#pragma once

#include <mutex>

#include "common/thread_annotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { impl.lock(); }
  void unlock() RELEASE() { impl.unlock(); }

 private:
  std::mutex impl;
};

// `MutexLock lock(someMutex);` deduces the lock's type.
template <typename Lockable>
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Lockable& mutex) ACQUIRE(mutex) : held(mutex) { held.lock(); }
  ~MutexLock() RELEASE() { held.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Lockable& held;
};
