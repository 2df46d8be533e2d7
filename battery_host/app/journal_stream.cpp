#include "battery_host/app/journal_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "battery_host/support/input_file.h"

namespace app {

namespace {

bool IsJournal(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");  // "<device>:<inode>"
  if (stream == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  return fstat(fd, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace

Priority PriorityOf(outputs::NoticeKind kind) {
  switch (kind) {
    case outputs::NoticeKind::kFailure:
      return Priority::kError;
    case outputs::NoticeKind::kTrouble:
      return Priority::kWarning;
    case outputs::NoticeKind::kOver:
      return Priority::kNotice;
    case outputs::NoticeKind::kStartStop:
    case outputs::NoticeKind::kRound:
      return Priority::kInfo;
  }
  return Priority::kWarning;
}

JournalStream::JournalStream(int fd) : journal_(IsJournal(fd)) {}

std::string JournalStream::operator()(outputs::NoticeKind kind) const {
  if (!journal_) return std::string();
  return "<" + std::to_string(static_cast<int>(PriorityOf(kind))) + ">";
}

std::string StderrPrefix(outputs::NoticeKind kind) {
  static const JournalStream stderr_stream(STDERR_FILENO);
  return stderr_stream(kind);
}

HostLines::HostLines(int fd) : stream_(fd), writer_(fd, view::TerminalWriter::Mode::kLines) {}

void HostLines::Say(const outputs::Notice& notice) {
  writer_.Put(stream_(notice.kind) + "battery-host: " + notice.text + "\n");
}

}  // namespace app
