// tests/support/allocation_counter.h
//
// Counts heap allocations made through every form of operator new and, in
// builds without a sanitizer, through malloc, calloc and realloc as well,
// in this process, the plug-in's code included: the replacements live in
// the executable that links this library, and the dynamic linker binds a
// dlopen()ed plug-in's calls to them. Under a sanitizer the sanitizer
// owns malloc, so only operator new is counted there; the hot paths we
// measure allocate through new if they allocate at all.
//
// The replacements sit in a translation unit of their own, so no caller
// ever sees a new and its matching delete inlined into malloc and free.
//
// Threads: callable from any thread. threadAllocations() counts only the
// calling thread's allocations, so drain threads and a target's worker
// thread are never charged to the thread that calls log().
#pragma once

namespace allocation_counter {

// Allocations made so far by the calling thread.
long threadAllocations();
// Allocations made so far by every thread of the process.
long processAllocations();

}  // namespace allocation_counter
