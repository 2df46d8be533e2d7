#pragma once

// A fake systemd notify socket for tests: an abstract AF_UNIX datagram socket, named like
// $NOTIFY_SOCKET ("@battery-host-test-<pid>-<n>").

#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace notify_test {

class NotifySocket {
 public:
  NotifySocket() {
    static int count = 0;
    name_ = "@battery-host-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name_.data() + 1, name_.size() - 1);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size()));
  }
  ~NotifySocket() { close(fd_); }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& name() const { return name_; }

  // The next datagram, or "" when none came within the wait.
  std::string Receive(std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(wait.count())) != 1) return "";
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace notify_test
