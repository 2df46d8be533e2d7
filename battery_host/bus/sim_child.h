#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "battery_host/config/site.h"

namespace bus {

// The battery-monitoring modules of one simulated line, run in a child process on the master
// side of a pseudo-terminal; the host opens the slave side like any serial port. All the line's
// modules answer there, each at its own bus address with its own values, seed and faults. A
// separate process keeps the plug-in's calls on the host's one thread and lets the simulator die
// without taking the host with it.
class SimulatorChild {
 public:
  SimulatorChild() = default;
  ~SimulatorChild() { Stop(); }
  SimulatorChild(const SimulatorChild&) = delete;
  SimulatorChild& operator=(const SimulatorChild&) = delete;

  bool Start(const config::LineConfig& line, std::string* error);
  // Tells the child to stop and reaps it. Safe to call more than once.
  void Stop();
  // The host reaped the child itself (it exited on its own).
  void Forget() { pid_ = -1; }

  const std::string& slave_path() const { return slave_path_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stop_fd_ = -1;  // write end of the child's stop pipe
  std::string slave_path_;
};

}  // namespace bus
