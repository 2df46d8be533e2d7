#pragma once

#include <sys/types.h>

#include <string>

#include "battery_host/event_log.h"
#include "battery_host/host_listener.h"
#include "battery_host/host_port.h"
#include "battery_host/serial_port.h"
#include "host/xqr_spdevice.h"

// The host's main loop for one serial device: a timerfd gives the poll tick (RefreshStatus), the
// port's bytes go to process() as they are read, and a signalfd ends the loop on SIGINT/SIGTERM.
// Everything runs on this one thread, so the device sees one call at a time. Nothing spins: the
// loop sleeps in poll() until one of the three is ready.
struct LoopSettings {
  unsigned int interval_ms = 1000;
  unsigned int rounds = 0;        // stop after this many completed rounds (0: never)
  pid_t simulator = -1;           // child serving the pseudo-terminal, if any
};

enum class LoopEnd {
  kSignal,           // SIGINT or SIGTERM
  kRoundsDone,       // the requested rounds completed
  kRoundsTimedOut,   // they did not complete in time
  kSimulatorExited,  // the simulator child ended on its own
  kError,            // the loop itself failed (message given)
};

class HostLoop {
 public:
  HostLoop(XQRSPDevice& device, SerialPort& port, HostPort& host_port, EventLog& events,
           HostListener& listener, LoopSettings settings);
  ~HostLoop();

  // Blocks SIGINT, SIGTERM and SIGCHLD and takes them through a signalfd; starts the timer.
  bool Start(std::string* error);
  LoopEnd Run(std::string* message);

  // Ticks allowed for the requested rounds: eight poll periods per round, plus a margin of
  // at least twenty periods or five seconds, whichever is longer.
  static unsigned long long RoundsDeadlineTicks(unsigned int rounds, unsigned int interval_ms);

 private:
  void OnReadable();
  void OnTick(unsigned long long expirations);
  void PortLost(const std::string& why);
  void TryReopen();

  XQRSPDevice& device_;
  SerialPort& port_;
  HostPort& host_port_;
  EventLog& events_;
  HostListener& listener_;
  LoopSettings settings_;
  std::string port_path_;
  int timer_fd_ = -1;
  int signal_fd_ = -1;
  unsigned long long ticks_ = 0;
  unsigned long long lost_at_tick_ = 0;
  unsigned long long reopen_every_ = 1;
};
