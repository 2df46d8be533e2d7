#include "battery_host/bus/poll_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "host_framework/device_book.h"

namespace bus {

PollLoop::PollLoop(std::vector<Line*> lines, std::vector<Pollable*> others,
                   std::vector<Simulator> simulators, LoopLimits limits)
    : lines_(std::move(lines)),
      others_(std::move(others)),
      simulators_(std::move(simulators)),
      limits_(limits) {}

PollLoop::~PollLoop() {
  if (signal_fd_ >= 0) close(signal_fd_);
}

unsigned long long PollLoop::RoundsDeadlinePeriods(unsigned int rounds, unsigned int interval_ms) {
  const unsigned long long margin =
      std::max<unsigned long long>(20, (5000ull + interval_ms - 1) / interval_ms);
  return 8ull * rounds + margin;
}

bool PollLoop::Start(std::string* error) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  sigaddset(&mask, SIGCHLD);
  // Normally blocked already by main(), before any thread was made.
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
    *error = std::string("cannot block signals: ") + std::strerror(errno);
    return false;
  }
  signal_fd_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) {
    *error = std::string("cannot create the loop's signal descriptor: ") + std::strerror(errno);
    return false;
  }
  for (Line* line : lines_) {
    if (!line->StartTimer(error)) return false;
  }
  return true;
}

bool PollLoop::RoundsDone() const {
  if (limits_.rounds == 0) return false;
  for (const Line* line : lines_) {
    for (const XQRSPDevice* d : line->devices()) {
      if (host_framework::HistorySaves(*d) < limits_.rounds) return false;
    }
  }
  return true;
}

bool PollLoop::RoundsTimedOut(std::string* message) const {
  if (limits_.rounds == 0) return false;
  for (const Line* line : lines_) {
    const unsigned long long allowed =
        RoundsDeadlinePeriods(limits_.rounds, line->settings().interval_ms);
    if (line->periods() < allowed) continue;
    for (const XQRSPDevice* d : line->devices()) {
      if (host_framework::HistorySaves(*d) >= limits_.rounds) continue;
      *message = "device " + std::to_string(d->DataId()) + " completed only " +
                 std::to_string(host_framework::HistorySaves(*d)) + " of " +
                 std::to_string(limits_.rounds) + " rounds within " +
                 std::to_string(line->periods()) + " poll periods of " +
                 std::to_string(line->settings().interval_ms) + " ms";
      return true;
    }
  }
  return false;
}

LoopEnd PollLoop::Run(std::string* message) {
  using Clock = std::chrono::steady_clock;
  const bool limited = limits_.duration_s > 0;
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(limited ? limits_.duration_s : 0.0));
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({signal_fd_, POLLIN, 0});
    const std::size_t first_other = fds.size();
    for (const Pollable* p : others_) fds.push_back(p->Wanted());
    const std::size_t first_line = fds.size();
    for (Line* line : lines_) {
      fds.push_back({line->timer_fd(), POLLIN, 0});
      fds.push_back({line->port_fd(), POLLIN, 0});  // -1 while the port is closed: ignored
    }

    // Sleep until a descriptor is ready, the nearest reply timeout or the end of the run.
    std::optional<Clock::time_point> wake;
    for (Line* line : lines_) {
      const auto d = line->deadline();
      if (d && (!wake || *d < *wake)) wake = d;
    }
    if (limited && (!wake || end < *wake)) wake = end;
    int timeout_ms = -1;
    if (wake) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
      timeout_ms = static_cast<int>(std::max<long long>(0, left.count()));
    }
    if (poll(fds.data(), fds.size(), timeout_ms) < 0) {
      if (errno == EINTR) continue;
      *message = std::string("poll: ") + std::strerror(errno);
      return LoopEnd::kError;
    }

    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      while (read(signal_fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGCHLD) {
          *message = std::string("stopped by ") + strsignal(static_cast<int>(info.ssi_signo));
          return LoopEnd::kSignal;
        }
        for (const Simulator& s : simulators_) {
          if (s.pid > 0 && waitpid(s.pid, nullptr, WNOHANG) == s.pid) {
            exited_simulator_ = s.pid;
            *message = "the module simulator of line " + s.line + " exited";
            return LoopEnd::kSimulatorExited;
          }
        }
      }
    }
    for (std::size_t i = 0; i < others_.size(); ++i) {
      if (fds[first_other + i].revents != 0) others_[i]->OnReady();
    }
    // Received bytes before the ticks: a reply that is already here must not be re-requested.
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (fds[first_line + 2 * i + 1].revents != 0 && lines_[i]->port_fd() >= 0) {
        lines_[i]->OnReadable();
      }
    }
    if (RoundsDone()) return LoopEnd::kRoundsDone;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (fds[first_line + 2 * i].revents & POLLIN) lines_[i]->OnTimer();
    }
    const Clock::time_point now = Clock::now();
    for (Line* line : lines_) line->OnDeadline(now);
    if (RoundsDone()) return LoopEnd::kRoundsDone;
    if (RoundsTimedOut(message)) return LoopEnd::kRoundsTimedOut;
    if (limited && now >= end) return LoopEnd::kDurationDone;
  }
}

}  // namespace bus
