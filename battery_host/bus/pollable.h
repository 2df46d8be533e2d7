#pragma once

#include <poll.h>

namespace bus {

// Something besides the lines that the poll loop waits on: one descriptor and the events it
// waits for now, and what to do when they come (messages to show, a terminal that can take
// more). The loop knows nothing else of it.
class Pollable {
 public:
  virtual ~Pollable() = default;
  // The descriptor and events to wait for now; fd -1 when there is nothing to wait for.
  virtual pollfd Wanted() const = 0;
  virtual void OnReady() = 0;
};

}  // namespace bus
