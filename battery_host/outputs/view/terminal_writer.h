#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "battery_host/support/said_once.h"

namespace view {

// Writes to a terminal or pipe without ever waiting for it. A terminal paused with Ctrl-S, a
// pty nobody reads or a pipe whose reader stalls must not stop the poll loop, so the descriptor
// is non-blocking and what it cannot take now waits here, bounded:
//   kFrames  each Put() is a whole picture; only the newest one that has not begun to be written
//            is kept (pictures in between are dropped), and one begun is finished first, so no
//            escape sequence is cut;
//   kLines   each Put() is a line; lines wait in order up to a limit, beyond which new ones are
//            dropped (and counted).
// The loop calls Flush() when the descriptor is writable again (wants_write()).
class TerminalWriter {
 public:
  enum class Mode { kFrames, kLines };

  // Takes the descriptor's output as given, on a descriptor of its own: a terminal or a pipe is
  // opened anew so that its non-blocking flag does not change the shell's (which shares the
  // original); anything else is duplicated. The caller keeps `fd`.
  TerminalWriter(int fd, Mode mode, std::size_t max_pending = 64 * 1024);
  ~TerminalWriter();
  TerminalWriter(const TerminalWriter&) = delete;
  TerminalWriter& operator=(const TerminalWriter&) = delete;

  void Put(std::string text);
  void Flush();
  // Waits up to `ms` for what is pending to be written (at exit, for the last words).
  void Drain(int ms);

  int fd() const { return fd_; }
  bool wants_write() const { return !current_.empty() || !queued_.empty(); }
  std::uint64_t dropped() const { return dropped_; }
  // True once, the first time something had to be dropped: the owner says so to the person.
  bool TakeFirstDrop();

 private:
  int fd_ = -1;
  Mode mode_;
  std::size_t max_pending_;
  std::string current_;  // begun: written up to done_
  std::size_t done_ = 0;
  std::string queued_;  // kFrames: the newest picture; kLines: lines in order
  std::uint64_t dropped_ = 0;
  support::SaidOnce drop_;  // the first drop is said, once for the run
  bool broken_ = false;     // the other end went away: everything is dropped quietly
};

}  // namespace view
