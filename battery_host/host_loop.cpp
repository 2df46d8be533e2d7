#include "battery_host/host_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace {

constexpr unsigned long long kReopenPeriodMs = 1000;

}  // namespace

HostLoop::HostLoop(XQRSPDevice& device, SerialPort& port, HostPort& host_port, EventLog& events,
                   HostListener& listener, LoopSettings settings)
    : device_(device),
      port_(port),
      host_port_(host_port),
      events_(events),
      listener_(listener),
      settings_(settings),
      port_path_(port.path()) {
  reopen_every_ = std::max<unsigned long long>(
      1, (kReopenPeriodMs + settings_.interval_ms - 1) / settings_.interval_ms);
}

HostLoop::~HostLoop() {
  if (timer_fd_ >= 0) close(timer_fd_);
  if (signal_fd_ >= 0) close(signal_fd_);
}

unsigned long long HostLoop::RoundsDeadlineTicks(unsigned int rounds, unsigned int interval_ms) {
  const unsigned long long margin =
      std::max<unsigned long long>(20, (5000ull + interval_ms - 1) / interval_ms);
  return 8ull * rounds + margin;
}

bool HostLoop::Start(std::string* error) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGCHLD);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
    *error = std::string("cannot block signals: ") + std::strerror(errno);
    return false;
  }
  signal_fd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (signal_fd_ < 0 || timer_fd_ < 0) {
    *error = std::string("cannot create the loop's descriptors: ") + std::strerror(errno);
    return false;
  }
  itimerspec period{};
  period.it_interval.tv_sec = settings_.interval_ms / 1000;
  period.it_interval.tv_nsec = static_cast<long>(settings_.interval_ms % 1000) * 1000000L;
  period.it_value = period.it_interval;  // the first round starts one period after start-up
  if (timerfd_settime(timer_fd_, 0, &period, nullptr) != 0) {
    *error = std::string("cannot start the poll timer: ") + std::strerror(errno);
    return false;
  }
  return true;
}

LoopEnd HostLoop::Run(std::string* message) {
  const unsigned long long deadline =
      settings_.rounds > 0 ? RoundsDeadlineTicks(settings_.rounds, settings_.interval_ms) : 0;
  for (;;) {
    pollfd fds[3] = {{signal_fd_, POLLIN, 0}, {timer_fd_, POLLIN, 0}, {port_.fd(), POLLIN, 0}};
    const nfds_t count = port_.IsOpen() ? 3 : 2;
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      *message = std::string("poll: ") + std::strerror(errno);
      return LoopEnd::kError;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGCHLD) {
          if (settings_.simulator > 0 &&
              waitpid(settings_.simulator, nullptr, WNOHANG) == settings_.simulator) {
            settings_.simulator = -1;
            *message = "the module simulator exited";
            return LoopEnd::kSimulatorExited;
          }
          continue;
        }
        *message = std::string("stopped by ") + strsignal(static_cast<int>(info.ssi_signo));
        return LoopEnd::kSignal;
      }
    }
    // Received bytes before the tick: a reply that is already here must not be re-requested.
    if (count == 3 && fds[2].revents != 0) OnReadable();
    if (settings_.rounds > 0 && listener_.rounds() >= settings_.rounds) {
      return LoopEnd::kRoundsDone;
    }
    if (fds[1].revents & POLLIN) {
      unsigned long long expirations = 0;
      if (read(timer_fd_, &expirations, sizeof expirations) == sizeof expirations) {
        OnTick(expirations);
      }
      if (settings_.rounds > 0 && listener_.rounds() >= settings_.rounds) {
        return LoopEnd::kRoundsDone;
      }
      if (deadline > 0 && ticks_ >= deadline) {
        *message = "only " + std::to_string(listener_.rounds()) + " of " +
                   std::to_string(settings_.rounds) + " rounds completed within " +
                   std::to_string(ticks_) + " poll periods of " +
                   std::to_string(settings_.interval_ms) + " ms";
        return LoopEnd::kRoundsTimedOut;
      }
    }
  }
}

void HostLoop::OnReadable() {
  unsigned char buf[256];
  const ssize_t n = read(port_.fd(), buf, sizeof buf);
  if (n > 0) {
    events_.Rx(buf, static_cast<std::size_t>(n));
    try {
      device_.process(buf, static_cast<unsigned int>(n));
    } catch (const std::exception& e) {
      // The device left the round where it failed; the next tick recovers it.
      listener_.Notice(std::string("device failed on received bytes: ") + e.what());
    }
  } else if (n == 0) {
    PortLost("the line hung up");
  } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    PortLost(std::string("read: ") + std::strerror(errno));
  }
  const std::string loss = host_port_.TakeLoss();
  if (!loss.empty()) PortLost(loss);
}

void HostLoop::OnTick(unsigned long long expirations) {
  ticks_ += expirations;
  if (!port_.IsOpen() && ticks_ - lost_at_tick_ >= reopen_every_) TryReopen();
  // The device's poll tick runs with the port up or down: its re-send and restart logic is
  // what carries the rounds on once the line is back.
  try {
    device_.RefreshStatus();
  } catch (const std::exception& e) {
    listener_.Notice(std::string("device failed on the poll tick: ") + e.what());
  }
  const std::string loss = host_port_.TakeLoss();
  if (!loss.empty()) PortLost(loss);
}

void HostLoop::PortLost(const std::string& why) {
  if (!port_.IsOpen()) return;
  port_.Close();
  lost_at_tick_ = ticks_;
  events_.Port("lost", port_path_, why);
  listener_.SetPortUp(false);
  listener_.Notice("port " + port_path_ + " lost (" + why + "); reopening every " +
                   std::to_string(reopen_every_ * settings_.interval_ms) + " ms");
}

void HostLoop::TryReopen() {
  lost_at_tick_ = ticks_;
  std::string error;
  if (!port_.Open(port_path_, &error)) return;  // still gone; the next period tries again
  events_.Port("reopened", port_path_, "");
  listener_.SetPortUp(true);
  listener_.Notice("port " + port_path_ + " is back");
}
