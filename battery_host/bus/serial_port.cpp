#include "battery_host/bus/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <termios.h>

#include "battery_host/support/input_file.h"

namespace bus {

namespace {

struct Speed {
  int baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},
                             {9600, B9600},   {19200, B19200},   {38400, B38400},
                             {57600, B57600}, {115200, B115200}, {230400, B230400}};

const Speed* FindSpeed(int baud_rate) {
  for (const Speed& s : kSpeeds) {
    if (s.baud == baud_rate) return &s;
  }
  return nullptr;
}

// Raw 8N1 without flow control; reads wait for one byte, so with O_NONBLOCK a read returns what
// has arrived or EAGAIN, and a read of 0 bytes always means the line hung up.
bool ConfigureRaw(int fd, speed_t speed, std::string* why) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) {
    *why = std::string("tcgetattr: ") + std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);  // no echo, no line editing, no translation of CR/LF, 8 data bits
  tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;  // ignore modem lines, enable the receiver
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
      tcsetattr(fd, TCSANOW, &tio) != 0) {
    *why = std::string("tcsetattr: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

bool IsSerialSpeed(int baud_rate) { return FindSpeed(baud_rate) != nullptr; }

bool SerialPort::Open(const std::string& path, int baud_rate, std::string* error) {
  Close();
  path_ = path;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open port " + path + ": " + std::strerror(errno);
    return false;
  }
  // A regular file, a pipe or /dev/null opens like a port, and then no serial ioctl works on it.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
    const std::string kind = S_ISCHR(st.st_mode) ? "a device that is not a terminal"
                                                 : support::KindOfNonRegular(st.st_mode);
    *error = "port " + path + " is not a serial device (" +
             (S_ISREG(st.st_mode) ? std::string("a regular file") : kind) + ")";
    close(fd);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    *error = "port " + path + " is in use by another program" +
             (e == EWOULDBLOCK ? std::string() : std::string(": ") + std::strerror(e));
    close(fd);
    return false;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    *error = "cannot get exclusive access to port " + path + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  const Speed* speed = FindSpeed(baud_rate);
  std::string why = "no serial speed of " + std::to_string(baud_rate) + " baud";
  if (speed == nullptr || !ConfigureRaw(fd, speed->code, &why)) {
    *error = "cannot configure port " + path + ": " + why;
    close(fd);
    return false;
  }
  tcflush(fd, TCIOFLUSH);  // nothing left over from a previous user of the line
  fd_ = fd;
  return true;
}

void SerialPort::Close() {
  if (fd_ < 0) return;
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // releases the flock too
  fd_ = -1;
}

}  // namespace bus
