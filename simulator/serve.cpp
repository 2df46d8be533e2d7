#include "simulator/serve.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "simulator/serial_line.h"

namespace simulator {

namespace {

using Clock = std::chrono::steady_clock;

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool StopRequested(const ServeOptions& o) {
  return o.stop != nullptr && o.stop->load(std::memory_order_relaxed);
}

// Waits up to ms for fd to become ready for `events` or for the stop fd; false when a stop was
// asked for. A negative ms waits without limit (bounded by idle_ms when a stop flag is given).
enum class Wait { kReady, kTimeout, kStop, kError };
// The control fd, when given, is watched too; its events land in *control_revents.
Wait WaitFor(int fd, short events, int ms, const ServeOptions& o, short* revents,
             int control_fd = -1, short* control_revents = nullptr) {
  pollfd fds[3];
  nfds_t n = 0;
  if (fd >= 0) fds[n++] = {fd, events, 0};
  const nfds_t stop_index = n;
  if (o.stop_fd >= 0) fds[n++] = {o.stop_fd, POLLIN, 0};
  const nfds_t control_index = n;
  if (control_fd >= 0) fds[n++] = {control_fd, POLLIN, 0};
  int rc;
  do {
    if (StopRequested(o)) return Wait::kStop;
    rc = poll(fds, n, ms);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return Wait::kError;
  if (StopRequested(o)) return Wait::kStop;
  if (o.stop_fd >= 0 && fds[stop_index].revents != 0) return Wait::kStop;
  if (rc == 0) return Wait::kTimeout;
  if (revents) *revents = fd >= 0 ? fds[0].revents : 0;
  if (control_revents) *control_revents = control_fd >= 0 ? fds[control_index].revents : 0;
  return Wait::kReady;
}

// Writes all of one piece; the line may take it in parts.
bool WriteAll(int fd, const Bytes& bytes, const ServeOptions& o, std::string* error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      short revents = 0;
      const Wait w = WaitFor(fd, POLLOUT, o.idle_ms, o, &revents);
      if (w == Wait::kStop) return true;  // the caller sees the stop on its next wait
      if (w == Wait::kError) {
        *error = Errno("poll");
        return false;
      }
    } else {
      *error = Errno("write");
      return false;
    }
  }
  return true;
}

void LogReply(std::ostream& log, const BusReply& br, bool with_address) {
  const Reply& r = br.reply;
  log << "bms-sim: ";
  if (with_address) log << AddressText(br.address) << ' ';
  log << 'A' << std::hex << (r.command & 0x0F) << std::dec;
  if (r.chunks.empty()) {
    log << " -> no reply";
  } else {
    log << " ->";
    for (const Bytes& c : r.chunks) log << " [" << Hex(c) << "]";
  }
  if (r.faults != kFaultNone) {
    log << " faults:";
    for (int b = 0; b < kFaultKinds; ++b) {
      if (r.faults & (1u << b)) log << ' ' << FaultName(1u << b);
    }
  }
  log << std::endl;
}

// What the loop serves: one module or a bus of them.
class Line {
 public:
  virtual ~Line() = default;
  virtual std::vector<BusReply> Receive(const std::uint8_t* data, std::size_t len) = 0;
  virtual void Advance(double seconds) = 0;
  virtual bool Command(const std::string& line, std::string* report) = 0;
  virtual bool several() const = 0;  // log lines name the module
};

class ModuleLine : public Line {
 public:
  explicit ModuleLine(Module& module) : module_(module) {}
  std::vector<BusReply> Receive(const std::uint8_t* data, std::size_t len) override {
    std::vector<BusReply> out;
    if (!on_line_) return out;  // unplugged: hears nothing
    for (Reply& r : module_.Receive(data, len))
      out.push_back({module_.config().address, std::move(r)});
    return out;
  }
  void Advance(double seconds) override { module_.Advance(seconds); }
  bool Command(const std::string& line, std::string* report) override {
    return RunControl(
        line,
        [this](const ControlCommand& c) {
          if (c.address != module_.config().address) return false;
          if (c.verb == ControlVerb::kSilent || c.verb == ControlVerb::kAnswer) {
            module_.set_silent(c.verb == ControlVerb::kSilent);
          } else {
            on_line_ = c.verb == ControlVerb::kAdd;
          }
          return true;
        },
        report);
  }
  bool several() const override { return false; }

 private:
  Module& module_;
  bool on_line_ = true;
};

class BusLine : public Line {
 public:
  explicit BusLine(Bus& bus) : bus_(bus) {}
  std::vector<BusReply> Receive(const std::uint8_t* data, std::size_t len) override {
    return bus_.Receive(data, len);
  }
  void Advance(double seconds) override { bus_.Advance(seconds); }
  bool Command(const std::string& line, std::string* report) override {
    return bus_.Command(line, report);
  }
  bool several() const override { return bus_.size() > 1; }

 private:
  Bus& bus_;
};

// Collects the control fd's bytes into lines and carries each out.
class ControlReader {
 public:
  ControlReader(int fd, std::ostream* log) : fd_(fd), log_(log) {}
  int fd() const { return fd_; }
  void Read(Line& line) {
    char buf[256];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // the commands have ended; the serving goes on
      if (!held_.empty()) Run(line, held_);
      held_.clear();
      fd_ = -1;
      return;
    }
    held_.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = held_.find('\n')) != std::string::npos) {
      const std::string text = held_.substr(0, nl);
      held_.erase(0, nl + 1);
      Run(line, text);
    }
    if (held_.size() > kLongest) {  // no command is this long: drop it, then carry on
      Run(line, held_.substr(0, 40) + "...");
      held_.clear();
    }
  }

 private:
  static constexpr std::size_t kLongest = 200;
  void Run(Line& line, const std::string& raw) {
    const std::size_t first = raw.find_first_not_of(" \t\r");
    if (first == std::string::npos) return;  // blank line
    const std::string text = raw.substr(first, raw.find_last_not_of(" \t\r") - first + 1);
    std::string report;
    line.Command(text, &report);
    if (log_) *log_ << "bms-sim: " << report << std::endl;
  }

  int fd_;
  std::ostream* log_;
  std::string held_;
};

ServeResult ServeLine(int fd, Line& line, const ServeOptions& options);

}  // namespace

std::string Hex(const Bytes& bytes) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    s += buf;
  }
  return s;
}

ServeResult Serve(int fd, Module& module, const ServeOptions& options) {
  ModuleLine line(module);
  return ServeLine(fd, line, options);
}

ServeResult Serve(int fd, Bus& bus, const ServeOptions& options) {
  BusLine line(bus);
  return ServeLine(fd, line, options);
}

namespace {

ServeResult ServeLine(int fd, Line& line, const ServeOptions& options) {
  ServeResult result;
  const int wait_ms = options.stop != nullptr ? options.idle_ms : -1;
  Clock::time_point last = Clock::now();
  auto advance = [&] {
    const Clock::time_point now = Clock::now();
    line.Advance(std::chrono::duration<double>(now - last).count() * options.time_scale);
    last = now;
  };
  ControlReader control(options.control_fd,
                        options.control_log ? options.control_log : options.log);

  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return {false, Errno("the line's fd")};
  if (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return {false, Errno("fcntl O_NONBLOCK")};
  }

  std::uint8_t buf[256];
  for (;;) {
    short revents = 0, control_revents = 0;
    const Wait w = WaitFor(fd, POLLIN, wait_ms, options, &revents, control.fd(), &control_revents);
    if (w == Wait::kStop) return result;
    if (w == Wait::kError) return {false, Errno("poll")};
    advance();
    if (w == Wait::kTimeout) continue;
    // Commands first, all that are waiting (an unfinished last line runs at the end of its
    // input): one written before a request is in force for it. Bounded, so that a control fd
    // that never runs dry cannot keep the line waiting.
    for (int reads = 0; control_revents != 0 && reads < 16; ++reads) {
      control.Read(line);
      control_revents = 0;
      pollfd more{control.fd(), POLLIN, 0};
      if (control.fd() >= 0 && poll(&more, 1, 0) > 0) control_revents = more.revents;
    }
    if (revents & POLLNVAL) return {false, "the line's fd is not open"};
    if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;

    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0) return {false, Errno("read")};
    if (n == 0) return {false, "the line was closed"};

    for (const BusReply& answered : line.Receive(buf, static_cast<std::size_t>(n))) {
      const Reply& reply = answered.reply;
      if (options.log) LogReply(*options.log, answered, line.several());
      for (std::size_t i = 0; i < reply.chunks.size(); ++i) {
        if (i > 0 && options.chunk_gap_ms > 0) {
          // The pause between pieces, counted from when the previous piece has left a 19200
          // baud line (10 bit times a byte; write() returns long before); a stop cuts it short.
          const std::size_t bytes = reply.chunks[i - 1].size();
          const int on_line_ms = static_cast<int>((bytes * 10000 + 19199) / 19200);
          if (WaitFor(-1, 0, on_line_ms + options.chunk_gap_ms, options, nullptr) == Wait::kStop) {
            return result;
          }
        }
        if (!WriteAll(fd, reply.chunks[i], options, &result.error)) {
          result.ok = false;
          return result;
        }
      }
    }
  }
}

}  // namespace

bool OpenPty(Pty* pty, std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = Errno(what);
    ClosePty(pty);
    return false;
  };
  pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->master < 0) return fail("posix_openpt");
  if (grantpt(pty->master) != 0) return fail("grantpt");
  if (unlockpt(pty->master) != 0) return fail("unlockpt");
  char name[128];
  if (ptsname_r(pty->master, name, sizeof name) != 0) return fail("ptsname");
  pty->slave_path = name;
  pty->slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) return fail("open " + pty->slave_path);
  // The line discipline sits on the slave side: raw there means no echo back to us and no
  // translation of the bytes either way.
  std::string why;
  if (!ConfigureRaw19200(pty->slave, &why)) {
    if (error) *error = why;
    ClosePty(pty);
    return false;
  }
  return true;
}

void ClosePty(Pty* pty) {
  if (pty->slave >= 0) close(pty->slave);
  if (pty->master >= 0) close(pty->master);
  pty->slave = pty->master = -1;
}

}  // namespace simulator
