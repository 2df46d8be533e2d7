#include "battery_host/outputs/async_output.h"

#include <chrono>
#include <utility>

#include "battery_host/support/bounded_queue.h"

namespace outputs {

AsyncOutput::AsyncOutput(std::string name, std::unique_ptr<Output> inner, std::size_t capacity)
    : name_(std::move(name)), inner_(std::move(inner)), capacity_(capacity ? capacity : 1) {}

AsyncOutput::~AsyncOutput() {
  if (worker_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    wake_.notify_all();
    worker_.join();
  }
}

void AsyncOutput::Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) {
  notice_ = notice;
  inner_->Start(devices, notice);
  worker_ = std::thread([this] { Work(); });
}

void AsyncOutput::Take(const HostEvent& event) {
  bool tell = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    tell = support::PushOrDrop(queue_, capacity_, event, &dropped_, &falling_behind_);
  }
  if (tell && notice_) {
    notice_(name_ + ": falling behind; events are dropped until it catches up");
  }
  wake_.notify_one();
}

void AsyncOutput::Work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, nothing left
    HostEvent event = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    inner_->Take(event);
    lock.lock();
    busy_ = false;
    if (queue_.empty() && falling_behind_.Over()) {
      const std::uint64_t lost = dropped_;
      lock.unlock();
      if (notice_)
        notice_({name_ + ": caught up; " + std::to_string(lost) + " events dropped so far",
                 NoticeKind::kOver});
      lock.lock();
    }
    if (queue_.empty()) idle_.notify_all();
  }
}

void AsyncOutput::Stop() {
  if (!worker_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait_for(lock, std::chrono::milliseconds(drain_ms_),
                   [this] { return queue_.empty() && !busy_; });
    stopping_ = true;
    queue_.clear();  // what did not make it in time is given up
  }
  wake_.notify_all();
  worker_.join();
  inner_->Stop();
}

std::size_t AsyncOutput::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace outputs
