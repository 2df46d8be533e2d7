#pragma once

#include <chrono>
#include <string>

#include "battery_host/bus/pollable.h"

namespace app {

// systemd's service notification, the documented protocol written small: one datagram per
// message to the AF_UNIX socket named by $NOTIFY_SOCKET ("@..." for the abstract namespace).
// Under a Type=notify unit the host says READY=1 once its ports are open and its outputs
// started, and, when the unit has WatchdogSec= ($WATCHDOG_USEC, for this process when
// $WATCHDOG_PID says so), WATCHDOG=1 at half that interval from the poll loop itself (a timer
// the loop waits on, WatchdogPing): a loop stuck in a device call sends nothing, and systemd
// restarts the host. Without $NOTIFY_SOCKET (a terminal, a test) every call does nothing.

class Notifier {
 public:
  // From the environment; the variables are removed, so that children (the simulators) do not
  // take them as theirs.
  static Notifier FromEnvironment();
  Notifier(std::string socket_path, std::chrono::microseconds watchdog);

  void Ready(const std::string& status);  // once; later calls do nothing
  void Stopping();
  void Ping();  // WATCHDOG=1, once ready and when there is a watchdog
  // The watchdog interval, zero when there is none (or no socket).
  std::chrono::microseconds watchdog() const { return watchdog_; }

 private:
  void Send(const std::string& message) const;

  std::string socket_path_;  // empty: not under systemd
  std::chrono::microseconds watchdog_{};
  bool ready_ = false;
};

// The host's one notifier, set up at start.
Notifier& HostNotifier();

// The poll loop's watchdog timer: fires at half the watchdog interval and pings. It is served
// only when the loop turns.
class WatchdogPing : public bus::Pollable {
 public:
  explicit WatchdogPing(Notifier& notifier);
  ~WatchdogPing() override;
  WatchdogPing(const WatchdogPing&) = delete;
  WatchdogPing& operator=(const WatchdogPing&) = delete;

  pollfd Wanted() const override { return {fd_, POLLIN, 0}; }
  void OnReady() override;

 private:
  Notifier& notifier_;
  int fd_ = -1;  // timerfd; -1 without a watchdog
};

}  // namespace app
