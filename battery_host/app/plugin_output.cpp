#include "battery_host/app/plugin_output.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace app {

namespace {

// Copies what `from` holds, from its start, to `to`.
bool CopyHeld(int from, int to) {
  if (lseek(from, 0, SEEK_SET) != 0) return false;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(from, buf, sizeof buf);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(to, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

}  // namespace

PluginOutput::~PluginOutput() {
  if (held_fd_ >= 0) close(held_fd_);
  if (view_fd_ >= 0) close(view_fd_);
}

bool PluginOutput::Hold(std::string* error) {
  std::fflush(stdout);
  view_fd_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (view_fd_ < 0) {
    *error = std::string("cannot keep standard output for the view: ") + std::strerror(errno);
    return false;
  }
  held_fd_ = memfd_create("battery-host plug-in output", MFD_CLOEXEC);
  if (held_fd_ < 0) {
    *error = std::string("cannot hold the plug-in's output: ") + std::strerror(errno);
    return false;
  }
  dup2(held_fd_, STDOUT_FILENO);
  return true;
}

bool PluginOutput::Settle(const std::string& log, std::string* error) {
  std::fflush(stdout);
  const std::string target = log.empty() ? "/dev/null" : log;
  const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open log " + target + ": " + std::strerror(errno);
    return false;
  }
  if (!log.empty() && !CopyHeld(held_fd_, fd)) {
    *error = "cannot write log " + target + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  dup2(fd, STDOUT_FILENO);
  close(fd);
  close(held_fd_);
  held_fd_ = -1;
  return true;
}

}  // namespace app
