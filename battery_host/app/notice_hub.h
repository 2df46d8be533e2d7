#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "battery_host/outputs/output.h"

namespace app {

// Messages for the person running the host, from any thread: the lines' port losses, an output
// whose disk is full, a broker that refuses the credentials. Post() queues the message and wakes
// the poll loop through an eventfd; the loop takes them on its own thread and shows them (on
// standard error and in the view), so no output thread ever writes to the terminal itself.
class NoticeHub {
 public:
  NoticeHub();
  ~NoticeHub();
  NoticeHub(const NoticeHub&) = delete;
  NoticeHub& operator=(const NoticeHub&) = delete;

  void Post(const outputs::Notice& notice);
  // The messages posted since the last call, in order.
  std::vector<outputs::Notice> Take();
  int fd() const { return fd_; }

 private:
  std::mutex mutex_;
  std::vector<outputs::Notice> pending_;
  int fd_ = -1;
};

}  // namespace app
