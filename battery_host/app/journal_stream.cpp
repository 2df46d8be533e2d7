#include "battery_host/app/journal_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace service {

namespace {

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");  // "<device>:<inode>"
  if (stream == nullptr) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  return fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

}  // namespace

std::string JournalPrefix(Priority priority) {
  static const bool journal = StderrIsJournal();
  if (!journal) return std::string();
  return "<" + std::to_string(static_cast<int>(priority)) + ">";
}

}  // namespace service
