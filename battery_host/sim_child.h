#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// The battery-monitoring module simulator, run in a child process on the master side of a
// pseudo-terminal; the host opens the slave side like any serial port. A separate process keeps
// the plug-in's calls on the host's one thread and lets the simulator die without taking the
// host with it.
struct SimulatorSettings {
  std::uint8_t bus_address = 0x01;  // the address the module answers to on the bus
  bool discharge = false;
  std::uint64_t seed = 1;
  double faults = 0.0;  // rate of every fault kind per reply
};

class SimulatorChild {
 public:
  SimulatorChild() = default;
  ~SimulatorChild() { Stop(); }
  SimulatorChild(const SimulatorChild&) = delete;
  SimulatorChild& operator=(const SimulatorChild&) = delete;

  bool Start(const SimulatorSettings& settings, std::string* error);
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
