#include "battery_host/sim_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "simulator/bms_module.h"
#include "simulator/serve.h"

namespace {

bms_sim::Config ModuleConfig(const SimulatorSettings& s) {
  bms_sim::Config c;
  c.address = s.bus_address;
  c.discharge = s.discharge;
  c.seed = s.seed;
  // The current as a hall sensor reports it, so that a discharge current (negative) reaches the
  // device intact; the example settings select the sensor formula ("current_ratio": 1).
  c.current_encoding = bms_sim::CurrentEncoding::kSensor;
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

}  // namespace

bool SimulatorChild::Start(const SimulatorSettings& settings, std::string* error) {
  bms_sim::Pty pty;
  if (!bms_sim::OpenPty(&pty, error)) {
    *error = "cannot create a pseudo-terminal for the simulator: " + *error;
    return false;
  }
  // The child serves until the read end of this pipe hangs up: when the host closes the write
  // end, or when the host dies in any way.
  int stop[2];
  if (pipe2(stop, O_CLOEXEC) != 0) {
    *error = std::string("cannot start the simulator: ") + std::strerror(errno);
    bms_sim::ClosePty(&pty);
    return false;
  }
  const bms_sim::Config config = ModuleConfig(settings);
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start the simulator: ") + std::strerror(errno);
    bms_sim::ClosePty(&pty);
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
    bms_sim::Module module(config);
    bms_sim::ServeOptions options;
    options.stop_fd = stop[0];
    const bms_sim::ServeResult result = bms_sim::Serve(pty.master, module, options);
    _exit(result.ok ? 0 : 1);
  }
  close(stop[0]);
  // The child keeps the master and its own slave descriptor (so the line never hangs up while
  // the host reopens it); the host opens the slave by name like any serial port.
  bms_sim::ClosePty(&pty);
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
