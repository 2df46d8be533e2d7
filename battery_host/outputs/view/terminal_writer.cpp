#include "battery_host/outputs/view/terminal_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace view {

namespace {

int OwnNonBlocking(int fd) {
  struct stat st {};
  if (fstat(fd, &st) == 0 && (isatty(fd) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
    // A new open file description: O_NONBLOCK here is ours alone.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = open(self.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (own >= 0) return own;
  }
  // A regular file or /dev/null never makes a writer wait; a duplicate is enough. (Anything
  // else that could not be opened anew gets the flag on the shared description.)
  const int dup = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (dup >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    fcntl(dup, F_SETFL, fcntl(dup, F_GETFL) | O_NONBLOCK);
  }
  return dup;
}

}  // namespace

TerminalWriter::TerminalWriter(int fd, Mode mode, std::size_t max_pending)
    : fd_(OwnNonBlocking(fd)), mode_(mode), max_pending_(max_pending) {}

TerminalWriter::~TerminalWriter() {
  if (fd_ >= 0) close(fd_);
}

void TerminalWriter::Put(std::string text) {
  if (broken_ || fd_ < 0) return;
  if (mode_ == Mode::kFrames) {
    if (!queued_.empty()) ++dropped_;  // the picture not yet begun is replaced
    queued_ = std::move(text);
  } else if (current_.size() - done_ + queued_.size() + text.size() > max_pending_) {
    ++dropped_;
  } else {
    queued_ += text;
  }
  Flush();
}

void TerminalWriter::Flush() {
  while (!broken_ && fd_ >= 0) {
    if (done_ >= current_.size()) {
      if (queued_.empty()) break;
      current_.swap(queued_);
      queued_.clear();
      done_ = 0;
    }
    const ssize_t n = write(fd_, current_.data() + done_, current_.size() - done_);
    if (n > 0) {
      done_ += static_cast<std::size_t>(n);
      if (done_ >= current_.size()) {
        current_.clear();
        done_ = 0;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // later, on POLLOUT
    broken_ = true;  // closed terminal, reader gone: the host goes on without this output
    current_.clear();
    queued_.clear();
    done_ = 0;
  }
}

void TerminalWriter::Drain(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  Flush();
  while (wants_write() && !broken_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    Flush();
  }
}

bool TerminalWriter::TakeFirstDrop() { return dropped_ > 0 && drop_.Begin(); }

}  // namespace view
