#include "battery_host/outputs/mqtt/read_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "battery_host/outputs/mqtt/incoming_budget.h"

namespace mqtt {

ReadGuard::ReadGuard() : null_fd_(open("/dev/null", O_RDONLY | O_CLOEXEC)) {
  thread_ = std::thread([this] { Run(); });
}

ReadGuard::~ReadGuard() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  armed_.notify_one();
  thread_.join();
  if (null_fd_ >= 0) close(null_fd_);
}

namespace {

bool Identity(int fd, unsigned long long* dev, unsigned long long* ino) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  *dev = st.st_dev;
  *ino = st.st_ino;
  return true;
}

}  // namespace

void ReadGuard::Begin(int socket_fd, std::uint64_t limit) {
  unsigned long long dev = 0, ino = 0;
  if (!Identity(socket_fd, &dev, &ino)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = socket_fd;
    dev_ = dev;
    ino_ = ino;
    limit_ = limit;
    cut_ = false;
  }
  armed_.notify_one();
}

bool ReadGuard::End(std::uint64_t* received) {
  bool cut = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd_ = -1;
    if (cut_) *received = cut_at_;
    cut = cut_;
    cut_ = false;
  }
  armed_.notify_one();
  return cut;
}

// The descriptor is only looked at under the lock, so End() is the last moment it is touched.
void ReadGuard::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    armed_.wait(lock, [this] { return quit_ || fd_ >= 0; });
    if (quit_) return;
    std::uint64_t received = 0;
    unsigned long long dev = 0, ino = 0;
    if (!cut_ && ReceivedBytes(fd_, &received) && received > limit_ && null_fd_ >= 0 &&
        Identity(fd_, &dev, &ino) && dev == dev_ && ino == ino_ &&
        dup3(null_fd_, fd_, O_CLOEXEC) >= 0) {
      cut_ = true;
      cut_at_ = received;
    }
    armed_.wait_for(lock, std::chrono::milliseconds(1), [this] { return quit_ || fd_ < 0; });
  }
}

}  // namespace mqtt
