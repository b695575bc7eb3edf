// bench/thread_cpu.h
//
// CPU time of any thread of this process, by kernel thread id. The request
// benchmarks charge the serving thread's CPU time to each request: unlike
// requests per wall-clock second it does not move when other work on the
// machine takes the cores away.
//
// Threads: callable from any thread, about any thread of the process.
#pragma once

#include <sys/types.h>

#include <vector>

namespace bench {

// The kernel ids of this process's threads, as they stand now.
std::vector<pid_t> threadIds();

// The one thread that exists now and was not in `before`; 0 when there is
// none or more than one, so a caller never measures the wrong thread.
pid_t newThreadSince(const std::vector<pid_t>& before);

// CPU time that thread `tid` has used so far, in nanoseconds; -1 when it
// cannot be read (the thread has ended).
long long threadCpuNanos(pid_t tid);

}  // namespace bench
