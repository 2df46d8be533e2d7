#pragma once

#include <string>

// Under systemd, standard error is a stream into the journal ($JOURNAL_STREAM names its device
// and inode). A line that starts with "<N>" (sd-daemon's prefixes) is filed there under
// priority N, so that "journalctl -p err" shows the host's errors and nothing else. On a
// terminal, in a file or a pipe the lines stay as they are.
namespace service {

enum class Priority { kError = 3, kWarning = 4, kInfo = 6 };

// "<3>", "<4>" or "<6>" when standard error is the journal, else "".
std::string JournalPrefix(Priority priority);

}  // namespace service
