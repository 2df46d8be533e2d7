#pragma once

// What the bad-input and output-safety runs of battery-host need beyond host_run_support: the
// host started with a chosen standard output or a file-size limit, bounded waits on its exit and
// on its events file, the test process as a child subreaper (so that a simulator the host leaves
// behind becomes the test's child and is seen), and a module served on a pseudo-terminal.

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "simulator/bms_module.h"
#include "tests/battery_host/host_run_support.h"

namespace host_safety {

using host_run::ScratchDir;

struct SpawnOptions {
  int stdout_fd = -1;           // -1: stdout.txt in the scratch directory
  long long fsize_limit = -1;   // RLIMIT_FSIZE soft limit in bytes; -1: unchanged
  long long nofile_limit = -1;  // RLIMIT_NOFILE, soft and hard (as `ulimit -n`); -1: unchanged
  int uid = -1;                 // run as this user (and group) when the test is root; -1: as is
  int pending_signal = 0;       // a signal already waiting (blocked) when the host begins
};

// fork + exec of battery-host (posix_spawn cannot set a resource limit). Standard input is
// /dev/null, standard error goes to stderr.txt of `dir`.
int SpawnHost(const std::vector<std::string>& args, const ScratchDir& dir,
              const SpawnOptions& options = {});

using host_run::PidFd;

// Waits up to `timeout_ms` for the host to end. A host still running then is killed (the test
// fails) and collected, so that no test leaves it behind.
host_run::Result WaitBounded(int pid, const ScratchDir& dir, int timeout_ms = 60000);
inline host_run::Result RunBounded(const std::vector<std::string>& args, const ScratchDir& dir,
                                   int timeout_ms = 60000) {
  return WaitBounded(SpawnHost(args, dir), dir, timeout_ms);
}

// Makes this process the reaper of its orphaned descendants (once per test program). Under an
// emulator that does not pass that prctl on (qemu-user answers EINVAL) the hosts are started in
// sessions of their own instead, and NoChildLeft() looks for what is left in those sessions.
void BecomeSubreaper();
// True when the process has no child at all (waitpid(-1, WNOHANG) fails with ECHILD) and no
// process is left in the session of a host started since the last call. Anything found is named
// in *found, killed and collected.
bool NoChildLeft(std::string* found);

// Lines of a text, without their '\n'; a last line without '\n' counts too.
std::vector<std::string> Lines(const std::string& text);
std::size_t Count(const std::string& text, const std::string& what);

void WriteFile(const std::string& path, const std::string& bytes);

// Waits (on the file's changes, not by sleeping) until `done(events file text)` holds, the host
// ends, or `timeout_ms` passes. Returns whether `done` held.
bool WaitForFile(const std::string& path, int host_pid_fd,
                 const std::function<bool(const std::string&)>& done, int timeout_ms = 60000);

// A pseudo-terminal standing in for a serial adapter (raw mode); the slave is held open so that
// the master never sees a hang-up while the host has the line closed.
using host_run::Pty;

// Writes into `fd` (made non-blocking for it) until it takes no more: a pipe or terminal whose
// reader never reads. Returns the bytes written.
std::size_t FillUntilFull(int fd);

// host_run::ServeModule on a line that is never swapped.
inline void ServeModule(int exit_fd, int master,
                        const std::function<bool(const simulator::Reply&, int)>& after) {
  host_run::ServeModule(
      exit_fd, [master] { return master; }, after);
}

}  // namespace host_safety
