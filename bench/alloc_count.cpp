// Replaces the C allocator of the budget program by counting wrappers around glibc's own
// (__libc_malloc and friends), which glibc provides for exactly this. Single-threaded use only:
// the counters are plain integers.
#include "bench/alloc_count.h"

#include <malloc.h>

#include "bench/null_host/framework_scope.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void __libc_free(void* ptr);
}

namespace {

bench::HeapCounts counts;

void Allocated(void* p) {
  if (p == nullptr) return;
  if (bench::g_framework_depth > 0) {
    ++counts.host_allocations;
  } else {
    ++counts.plugin_allocations;
  }
  counts.live_bytes += static_cast<long>(malloc_usable_size(p));
}

void Released(void* p) {
  if (p != nullptr) counts.live_bytes -= static_cast<long>(malloc_usable_size(p));
}

}  // namespace

namespace bench {
HeapCounts Heap() { return counts; }
}  // namespace bench

extern "C" {

void* malloc(std::size_t size) {
  void* p = __libc_malloc(size);
  Allocated(p);
  return p;
}

void* calloc(std::size_t count, std::size_t size) {
  void* p = __libc_calloc(count, size);
  Allocated(p);
  return p;
}

void* realloc(void* ptr, std::size_t size) {
  Released(ptr);
  void* p = __libc_realloc(ptr, size);
  if (p == nullptr && size != 0 && ptr != nullptr) {
    counts.live_bytes += static_cast<long>(malloc_usable_size(ptr));  // old block still there
    return p;
  }
  Allocated(p);
  return p;
}

void free(void* ptr) {
  Released(ptr);
  __libc_free(ptr);
}

}  // extern "C"
