#pragma once

#include <cstddef>

// Heap accounting for the budget program: malloc, calloc, realloc and free of the whole process
// are replaced (bench/alloc_count.cpp) by versions that count and then use glibc's own. operator
// new, std::string, JsonCpp and thrown exceptions all end up there. An allocation made while a
// host framework service runs (bench::FrameworkScope) is booked to the host.
namespace bench {

struct HeapCounts {
  long plugin_allocations = 0;  // blocks allocated outside framework services
  long host_allocations = 0;    // blocks allocated inside them
  long live_bytes = 0;          // usable bytes of all blocks currently allocated
};

HeapCounts Heap();

}  // namespace bench
