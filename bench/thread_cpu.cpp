// bench/thread_cpu.cpp
//
// Thread ids from /proc/self/task and per-thread CPU clocks.
//
// Threads: any thread; nothing here keeps state.
#include "thread_cpu.h"

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>

namespace bench {

std::vector<pid_t> threadIds() {
  std::vector<pid_t> ids;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return ids;
  while (const dirent* entry = ::readdir(tasks)) {
    const long id = std::strtol(entry->d_name, nullptr, 10);
    if (id > 0) ids.push_back(static_cast<pid_t>(id));
  }
  ::closedir(tasks);
  return ids;
}

pid_t newThreadSince(const std::vector<pid_t>& before) {
  pid_t found = 0;
  for (pid_t id : threadIds()) {
    if (std::find(before.begin(), before.end(), id) != before.end()) continue;
    if (found != 0) return 0;
    found = id;
  }
  return found;
}

long long threadCpuNanos(pid_t tid) {
  // The kernel's clock id for one thread's CPU time, built as glibc's
  // pthread_getcpuclockid() builds it: we know the target's worker thread
  // only by its kernel id, not by a pthread_t.
  constexpr clockid_t kPerThreadSchedClock = 6;  // CPUCLOCK_SCHED | CPUCLOCK_PERTHREAD_MASK
  const clockid_t clock =
      static_cast<clockid_t>((~static_cast<unsigned>(tid)) << 3) | kPerThreadSchedClock;
  timespec now{};
  if (::clock_gettime(clock, &now) != 0) return -1;
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace bench
