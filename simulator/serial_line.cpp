#include "simulator/serial_line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simulator {

namespace {

bool Fail(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
  return false;
}

}  // namespace

bool ConfigureRaw19200(int fd, std::string* error) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0) return Fail(error, "tcgetattr", errno);
  cfmakeraw(&tio);  // no echo, no line editing, no translation of CR/LF, 8 data bits
  tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;  // ignore modem lines, enable the receiver
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;  // a read returns as soon as one byte is there
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B19200) != 0 || cfsetospeed(&tio, B19200) != 0) {
    return Fail(error, "cfsetspeed 19200", errno);
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return Fail(error, "tcsetattr", errno);
  return true;
}

int OpenRaw19200(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    Fail(error, "cannot open " + path, errno);
    return -1;
  }
  std::string why;
  if (!ConfigureRaw19200(fd, &why)) {
    if (error) *error = "cannot set up " + path + " as a 19200 8N1 raw line: " + why;
    close(fd);
    return -1;
  }
  tcflush(fd, TCIOFLUSH);  // drop whatever was waiting on the line before us
  return fd;
}

}  // namespace simulator
