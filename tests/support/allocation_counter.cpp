// tests/support/allocation_counter.cpp
//
// The replaced allocation functions behind allocation_counter.h. malloc,
// calloc and realloc count and forward to glibc's own entry points; operator
// new is built on malloc, so an allocation is counted once whichever way it
// was asked for. free and operator delete only forward: the tests and the
// benchmarks ask how often a hot path allocates, and a free needs an
// allocation first.
//
// Threads: any thread, including threads that start before main() and the
// dynamic linker's own calls. The counters are a local-exec thread_local (no
// allocation, no lazy set-up) and one relaxed atomic.
#include "allocation_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
// glibc's allocator under names that the replacements below do not hide.
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARVIN_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARVIN_SANITIZED_HEAP 1
#endif
#endif

namespace {

thread_local long tThreadAllocations = 0;
std::atomic<long> gProcessAllocations{0};

void count() {
  ++tThreadAllocations;
  gProcessAllocations.fetch_add(1, std::memory_order_relaxed);
}

// With a sanitizer, malloc is the sanitizer's and not replaced: new counts
// for itself.
#ifdef TARVIN_SANITIZED_HEAP
void* countedMalloc(std::size_t size) {
  count();
  return std::malloc(size);
}
#else
void* countedMalloc(std::size_t size) { return std::malloc(size); }
#endif

void* newOrThrow(std::size_t size) {
  if (void* p = countedMalloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

void* alignedNewOrThrow(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (size + align - 1) / align * align;
  count();
  if (void* p = std::aligned_alloc(align, rounded != 0 ? rounded : align)) return p;
  throw std::bad_alloc();
}

}  // namespace

namespace allocation_counter {
long threadAllocations() { return tThreadAllocations; }
long processAllocations() { return gProcessAllocations.load(std::memory_order_relaxed); }
}  // namespace allocation_counter

#ifndef TARVIN_SANITIZED_HEAP
extern "C" {
void* malloc(std::size_t size) noexcept {
  count();
  return __libc_malloc(size);
}
void* calloc(std::size_t count_, std::size_t size) noexcept {
  count();
  return __libc_calloc(count_, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
  count();
  return __libc_realloc(pointer, size);
}
void free(void* pointer) noexcept { __libc_free(pointer); }
}
#endif

void* operator new(std::size_t size) { return newOrThrow(size); }
void* operator new[](std::size_t size) { return newOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return countedMalloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return countedMalloc(size != 0 ? size : 1);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return alignedNewOrThrow(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return alignedNewOrThrow(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
