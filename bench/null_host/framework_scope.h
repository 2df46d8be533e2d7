#pragma once

namespace bench {

// Depth of host framework calls in progress on the (single) benchmark thread. The allocation
// counter books an allocation to the host while it is above 0.
extern int g_framework_depth;

struct FrameworkScope {
  FrameworkScope() { ++g_framework_depth; }
  ~FrameworkScope() { --g_framework_depth; }
  FrameworkScope(const FrameworkScope&) = delete;
  FrameworkScope& operator=(const FrameworkScope&) = delete;
};

}  // namespace bench
