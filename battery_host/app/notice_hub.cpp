#include "battery_host/app/notice_hub.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace app {

namespace {

constexpr std::size_t kMaxPending = 1000;  // a flood of messages must not grow without bound

}  // namespace

NoticeHub::NoticeHub() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

NoticeHub::~NoticeHub() {
  if (fd_ >= 0) close(fd_);
}

void NoticeHub::Post(const outputs::Notice& notice) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.size() >= kMaxPending) return;
    pending_.push_back(notice);
  }
  const std::uint64_t one = 1;
  ssize_t ignored = write(fd_, &one, sizeof one);
  (void)ignored;
}

std::vector<outputs::Notice> NoticeHub::Take() {
  std::uint64_t count = 0;
  ssize_t ignored = read(fd_, &count, sizeof count);
  (void)ignored;
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<outputs::Notice> out;
  out.swap(pending_);
  return out;
}

}  // namespace app
