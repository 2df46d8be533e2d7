#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "battery_host/support/said_once.h"

namespace support {

// The poll thread's side of a worker's queue: an event goes to the back unless the queue holds
// `capacity` already, in which case it is dropped and counted rather than making the poll round
// wait. The caller holds the queue's lock. True when this drop begins a stretch of drops (say it
// once; `falling_behind.Over()` once the worker has caught up).
template <typename Event>
bool PushOrDrop(std::deque<Event>& queue, std::size_t capacity, const Event& event,
                std::uint64_t* dropped, SaidOnce* falling_behind) {
  if (queue.size() < capacity) {
    queue.push_back(event);
    return false;
  }
  ++*dropped;
  return falling_behind->Begin();
}

}  // namespace support
