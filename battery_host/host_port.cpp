#include "battery_host/host_port.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

int HostPort::Write(const unsigned char* data, unsigned int len) {
  if (!port_.IsOpen()) return -1;
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = write(port_.fd(), data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
    if (n <= 0) {
      loss_ = std::string("write: ") + (n < 0 ? std::strerror(errno) : "nothing written");
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  events_.Tx(data, len);
  return static_cast<int>(len);
}

std::string HostPort::TakeLoss() {
  std::string loss;
  loss.swap(loss_);
  return loss;
}
