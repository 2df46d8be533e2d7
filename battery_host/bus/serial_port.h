#pragma once

#include <string>

namespace bus {

// The module's serial line, opened the way the host needs it: raw 8N1 at the speed the line's
// devices ask for (baud_rate_), no flow control, non-blocking (the host polls it), and exclusive:
// TIOCEXCL refuses further opens of the tty, and an flock() on it makes a second host on the same
// line fail at once instead of stealing half of the replies.
class SerialPort {
 public:
  SerialPort() = default;
  ~SerialPort() { Close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // On failure returns false with a one-line message naming the path and the cause.
  bool Open(const std::string& path, int baud_rate, std::string* error);
  void Close();

  int fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Whether a serial port can run at `baud_rate` (one of the standard speeds of a UART).
bool IsSerialSpeed(int baud_rate);

}  // namespace bus
