#include "battery_host/sim_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "simulator/bms_module.h"

namespace {

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Pause(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t len) {
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      if (errno == EAGAIN) Pause(1);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The child's whole life: answer what the host writes on the master side. While the host has the
// slave closed (start-up, a reopen), the master reports a hang-up; the module waits for it to
// come back rather than spinning.
[[noreturn]] void ServeModule(int master, const bms_sim::Config& config) {
  bms_sim::Module module(config);
  double last = Now();
  std::uint8_t buf[256];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      _exit(1);
    }
    const ssize_t n = (p.revents & POLLIN) ? read(master, buf, sizeof buf) : -1;
    if (n <= 0) {
      if (n < 0 && errno != EIO && errno != EAGAIN && errno != EINTR && !(p.revents & POLLHUP)) {
        _exit(1);
      }
      Pause(20);  // no reader on the slave side yet
      continue;
    }
    const double now = Now();
    module.Advance(now - last);
    last = now;
    for (const bms_sim::Reply& reply : module.Receive(buf, static_cast<std::size_t>(n))) {
      for (std::size_t i = 0; i < reply.chunks.size(); ++i) {
        // Pieces of a split reply leave the module with a gap, as on a real line.
        if (i > 0) Pause(3);
        if (!WriteAll(master, reply.chunks[i].data(), reply.chunks[i].size())) _exit(1);
      }
    }
  }
}

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
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    *error = std::string("cannot create a pseudo-terminal for the simulator: ") +
             std::strerror(errno);
    if (master >= 0) close(master);
    return false;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    *error = std::string("cannot name the simulator's pseudo-terminal: ") + std::strerror(errno);
    close(master);
    return false;
  }
  // The module's side sends and receives raw bytes too.
  termios tio{};
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
  }
  const bms_sim::Config config = ModuleConfig(settings);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot start the simulator: ") + std::strerror(errno);
    close(master);
    return false;
  }
  if (pid == 0) {
    // Its own process group, so that Ctrl-C reaches the host only and the host ends the
    // simulator in order; and it ends with the host if the host dies.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    ServeModule(master, config);
  }
  close(master);  // the child holds it; its end is the hang-up the host sees
  pid_ = pid;
  slave_path_ = name;
  return true;
}

void SimulatorChild::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}
