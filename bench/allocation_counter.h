// bench/allocation_counter.h
//
// Counts heap allocations made through malloc, calloc, realloc and every
// form of operator new in this process, the plug-in's included: the
// replacements live in the executable, and the dynamic linker binds the
// dlopen()ed plug-in's calls to them.
//
// Threads: callable from any thread. threadAllocations() counts only the
// calling thread's allocations, so the drain threads and the target's worker
// thread are never charged to the thread that calls log().
#pragma once

namespace allocation_counter {

// Allocations made so far by the calling thread.
long threadAllocations();
// Allocations made so far by every thread of the process.
long processAllocations();

}  // namespace allocation_counter
