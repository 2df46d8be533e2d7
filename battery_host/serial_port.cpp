#include "battery_host/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <termios.h>

namespace {

// Raw bytes both ways, 19200 baud, 8 data bits, no parity, one stop bit, no hardware or software
// flow control, modem lines ignored; reads return whatever has arrived.
bool ConfigureRaw19200(int fd, std::string* error) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B19200) != 0 || cfsetospeed(&tio, B19200) != 0 ||
      tcsetattr(fd, TCSANOW, &tio) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  tcflush(fd, TCIOFLUSH);  // nothing left over from a previous user of the line
  return true;
}

}  // namespace

bool SerialPort::Open(const std::string& path, std::string* error) {
  Close();
  path_ = path;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open port " + path + ": " + std::strerror(errno);
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
  std::string why;
  if (!ConfigureRaw19200(fd, &why)) {
    *error = "cannot configure port " + path + ": " + why;
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void SerialPort::Close() {
  if (fd_ < 0) return;
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // releases the flock too
  fd_ = -1;
}
