#include "battery_host/bus/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <termios.h>

#include "simulator/serial_line.h"

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
  // Raw 19200 8N1 without flow control; reads wait for one byte, so with O_NONBLOCK a read
  // returns what has arrived or EAGAIN, and a read of 0 bytes always means the line hung up.
  if (!serial_line::ConfigureRaw19200(fd, &why)) {
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
