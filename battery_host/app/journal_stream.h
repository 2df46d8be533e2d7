#pragma once

#include <string>

#include "battery_host/outputs/output.h"
#include "battery_host/outputs/view/terminal_writer.h"

namespace app {

// Under systemd, standard output and standard error are a stream into the journal
// ($JOURNAL_STREAM names its device and inode). A line that starts with "<N>" (sd-daemon's
// prefixes) is filed there under priority N, so that "journalctl -p err" shows what stopped the
// host and "-p warning" the troubles too. On a terminal, in a file or a pipe the lines stay as
// they are.

enum class Priority { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// How much each kind of line matters: the one place where a kind gets its priority.
Priority PriorityOf(outputs::NoticeKind kind);

// Lines written to one descriptor; whether it is the journal's stream is decided once.
class JournalStream {
 public:
  explicit JournalStream(int fd);
  // "<N>" for a line of `kind` when the descriptor is the journal's stream, else "".
  std::string operator()(outputs::NoticeKind kind) const;

 private:
  bool journal_;
};

// The same for standard error, decided at the first call: for the lines said before the host's
// own writer exists (a refused start).
std::string StderrPrefix(outputs::NoticeKind kind);

// The host's own lines ("battery-host: ...") on a descriptor (standard error), each with the
// priority of its kind; never waits for the reader.
class HostLines {
 public:
  explicit HostLines(int fd);
  void Say(const outputs::Notice& notice);
  view::TerminalWriter& writer() { return writer_; }

 private:
  JournalStream stream_;
  view::TerminalWriter writer_;
};

}  // namespace app
