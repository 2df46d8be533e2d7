#include "battery_host/app/service_notify.h"

#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace app {

Notifier Notifier::FromEnvironment() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  std::chrono::microseconds watchdog{};
  if (usec != nullptr && (pid == nullptr || std::strtoll(pid, nullptr, 10) == getpid())) {
    watchdog = std::chrono::microseconds(std::strtoll(usec, nullptr, 10));
  }
  Notifier n(socket != nullptr ? socket : "", watchdog);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("WATCHDOG_USEC");
  unsetenv("WATCHDOG_PID");
  return n;
}

Notifier::Notifier(std::string socket_path, std::chrono::microseconds watchdog)
    : socket_path_(std::move(socket_path)), watchdog_(watchdog) {
  // Only a path or an abstract name is a socket we can send to.
  if (socket_path_.size() < 2 || socket_path_.size() >= sizeof(sockaddr_un::sun_path) ||
      (socket_path_[0] != '/' && socket_path_[0] != '@')) {
    socket_path_.clear();
  }
  if (socket_path_.empty() || watchdog_.count() < 0) watchdog_ = {};
}

void Notifier::Send(const std::string& message) const {
  if (socket_path_.empty()) return;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path_.data(), socket_path_.size());
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t len =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path_.size());
  // A datagram is never waited for: a systemd that does not read loses the message, and the
  // poll loop goes on.
  sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
         reinterpret_cast<const sockaddr*>(&addr), len);
  close(fd);
}

void Notifier::Ready(const std::string& status) {
  if (ready_) return;
  ready_ = true;
  Send("READY=1\nSTATUS=" + status);
}

void Notifier::Stopping() { Send("STOPPING=1"); }

void Notifier::Ping() {
  if (ready_ && watchdog_.count() > 0) Send("WATCHDOG=1");
}

Notifier& HostNotifier() {
  static Notifier notifier = Notifier::FromEnvironment();
  return notifier;
}

WatchdogPing::WatchdogPing(Notifier& notifier) : notifier_(notifier) {
  const auto half = notifier.watchdog() / 2;
  if (half.count() <= 0) return;
  fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd_ < 0) return;
  itimerspec every_half{};
  every_half.it_interval.tv_sec = static_cast<time_t>(half.count() / 1000000);
  every_half.it_interval.tv_nsec = static_cast<long>(half.count() % 1000000) * 1000;
  every_half.it_value = every_half.it_interval;
  timerfd_settime(fd_, 0, &every_half, nullptr);
}

WatchdogPing::~WatchdogPing() {
  if (fd_ >= 0) close(fd_);
}

void WatchdogPing::OnReady() {
  std::uint64_t expirations = 0;
  if (read(fd_, &expirations, sizeof expirations) > 0) notifier_.Ping();
}

}  // namespace app
