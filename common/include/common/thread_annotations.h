// common/include/common/thread_annotations.h
//
// Clang's thread-safety attributes as macros, for the plug-in and the tools
// alike. Under clang with -Wthread-safety the compiler proves that every
// access to annotated state holds its lock; under other compilers the
// macros expand to nothing.
//
// Threads: declarations only.
#pragma once

#if defined(__clang__)
#define TARVIN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARVIN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TARVIN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TARVIN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TARVIN_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TARVIN_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) TARVIN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TARVIN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) TARVIN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TARVIN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TARVIN_THREAD_ANNOTATION(no_thread_safety_analysis)
