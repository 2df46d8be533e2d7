#include "battery_host/bus/sim_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <memory>
#include <vector>
#include <cstring>

#include "simulator/bms_bus.h"
#include "simulator/bms_module.h"
#include "simulator/serve.h"

namespace bus {

namespace {

simulator::Config ModuleConfig(const config::DeviceConfig& d) {
  const config::SimModuleConfig& s = d.sim;
  simulator::Config c;
  c.address = d.BusAddress();
  c.cells = s.cells;
  c.discharge = s.discharge;
  c.seed = s.seed;
  c.silent = s.silent;
  c.weak_cell = static_cast<int>(s.weak_cell);
  c.weak_capacity = s.weak_capacity;
  c.load_step = s.load_step;
  // The current as a hall sensor reports it, so that a discharge current (negative) reaches the
  // device intact; the example settings select the sensor formula ("current_ratio": 1).
  c.current_encoding = simulator::CurrentEncoding::kSensor;
  // The rate is the chance that a reply is touched at all, spread over the kinds that hit one
  // reply; a long silence is not among them.
  const double each = s.faults / 7.0;
  c.faults.noise = each;
  c.faults.split = each;
  c.faults.drop = each;
  c.faults.bad_checksum = each;
  c.faults.wrong_address = each;
  c.faults.out_of_window = each;
  c.faults.garbage = each;
  return c;
}

// In the child after fork(): every descriptor but standard input, output, error and `keep`.
void CloseAllBut(std::initializer_list<int> keep) {
  std::vector<int> open_fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (fd > 2 && fd != own) open_fds.push_back(fd);
    }
    closedir(dir);
  }
  for (int fd : open_fds) {
    if (std::find(keep.begin(), keep.end(), fd) == keep.end()) close(fd);
  }
}

}  // namespace

bool SimulatorChild::Start(const config::LineConfig& line, std::string* error) {
  simulator::Pty pty;
  if (!simulator::OpenPty(&pty, error)) {
    *error = "cannot create a pseudo-terminal for the simulator: " + *error;
    return false;
  }
  // The child serves until the read end of this pipe hangs up: when the host closes the write
  // end, or when the host dies in any way.
  int stop[2];
  if (pipe2(stop, O_CLOEXEC) != 0) {
    *error = std::string("cannot start the simulator: ") + std::strerror(errno);
    simulator::ClosePty(&pty);
    return false;
  }
  std::vector<simulator::Config> configs;
  for (const config::DeviceConfig& d : line.devices) configs.push_back(ModuleConfig(d));
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start the simulator: ") + std::strerror(errno);
    simulator::ClosePty(&pty);
    close(stop[0]);
    close(stop[1]);
    return false;
  }
  if (pid == 0) {
    // Its own process group, so that Ctrl-C reaches the host only and the host ends the
    // simulator in order. Nothing of the host runs here: _exit, no destructors.
    setpgid(0, 0);
    close(stop[1]);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Only the line's own descriptors stay: a copy of another simulator's stop pipe kept here
    // would keep that simulator serving after the host has let go of it.
    CloseAllBut({pty.master, pty.slave, stop[0]});
    std::unique_ptr<simulator::Bus> bus;
    try {
      bus = std::make_unique<simulator::Bus>(configs);
    } catch (const std::exception&) {
      _exit(1);
    }
    simulator::ServeOptions options;
    options.stop_fd = stop[0];
    options.time_scale = line.sim_time_scale;
    options.chunk_gap_ms = static_cast<int>(line.sim_chunk_gap_ms);
    const simulator::ServeResult result = simulator::Serve(pty.master, *bus, options);
    _exit(result.ok ? 0 : 1);
  }
  close(stop[0]);
  // The child keeps the master and its own slave descriptor (so the line never hangs up while
  // the host reopens it); the host opens the slave by name like any serial port.
  simulator::ClosePty(&pty);
  pid_ = pid;
  stop_fd_ = stop[1];
  slave_path_ = pty.slave_path;
  return true;
}

void SimulatorChild::Stop() {
  if (stop_fd_ >= 0) {
    close(stop_fd_);
    stop_fd_ = -1;
  }
  if (pid_ <= 0) return;
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace bus
