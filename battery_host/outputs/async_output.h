#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "battery_host/outputs/output.h"
#include "battery_host/support/said_once.h"

namespace outputs {

// Runs an output whose work may block on a thread of its own. Take() copies the event into a
// bounded queue and returns; the worker hands the events to the inner output in order. When the
// inner output falls so far behind that the queue is full, further events are dropped (and
// counted) rather than making the poll round wait; the person is told once, and again when the
// output has caught up.
class AsyncOutput : public Output {
 public:
  // `name` is used in the notices ("history: ...").
  AsyncOutput(std::string name, std::unique_ptr<Output> inner, std::size_t capacity = 4096);
  ~AsyncOutput() override;
  AsyncOutput(const AsyncOutput&) = delete;
  AsyncOutput& operator=(const AsyncOutput&) = delete;

  void Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) override;
  void Take(const HostEvent& event) override;
  // Hands over what is queued (waiting at most `drain_ms`), then stops the inner output.
  void Stop() override;

  std::size_t dropped() const;

 private:
  void Work();

  std::string name_;
  std::unique_ptr<Output> inner_;
  std::size_t capacity_;
  int drain_ms_ = 3000;
  NoticeFn notice_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<HostEvent> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  support::SaidOnce falling_behind_;
  std::uint64_t dropped_ = 0;
  std::thread worker_;
};

}  // namespace outputs
