#pragma once

// The simulated module, or a bus of them, on a real line: a pseudo-terminal or a serial device.
// What the host writes is fed to the Module or the Bus; the replies are written back, a split
// reply piece by piece with a pause between, so that the host's reads see the pieces separately
// as they would from a slow module. One reply is written whole before the next begins, as only
// one module talks on a real bus at a time. Simulated time follows the wall clock (optionally
// faster). Run-time commands (silent, answer, remove, add) may come in on a control fd.

#include <atomic>
#include <ostream>
#include <string>

#include "simulator/bms_bus.h"
#include "simulator/bms_module.h"

namespace simulator {

struct ServeOptions {
  int chunk_gap_ms = 20;                    // pause between the pieces of a split reply
  double time_scale = 1.0;                  // simulated seconds per real second
  int stop_fd = -1;                         // stop once this fd is readable or hung up (-1: none)
  const std::atomic<bool>* stop = nullptr;  // stop once true (checked at least every idle_ms)
  int idle_ms = 200;            // longest wait without looking at the stop flag and the clock
  std::ostream* log = nullptr;  // one line per request answered, when given
  // Run-time commands, one a line, as Bus::Command takes them; -1: none. Read until it ends
  // (end of file stops only the commands, not the serving).
  int control_fd = -1;
  // One line per command: what it did, or why it was ignored. When null, the log, if any.
  std::ostream* control_log = nullptr;
};

struct ServeResult {
  bool ok = true;     // stopped on request
  std::string error;  // otherwise: what went wrong with the line
};

// Serves until stopped or until the line fails (read/write error, end of file). The fd is put in
// non-blocking mode, so that a host that stops reading cannot keep a stop request waiting. The
// module belongs to this loop until it returns: read its counters afterwards. Run-time commands
// name its own address (any other is reported as no module there); remove and add unplug it
// from the line and plug it back.
ServeResult Serve(int fd, Module& module, const ServeOptions& options);
// The same for several modules on the line; the bus belongs to this loop until it returns. Log
// lines name the module ("bms-sim: 0x02 A4 -> [ED 02 0B B8 C5]") when there are several.
ServeResult Serve(int fd, Bus& bus, const ServeOptions& options);

// A pseudo-terminal pair in raw mode. The slave stays open here too, so that the master never
// sees a hang-up while host programs open and close the slave path.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slave_path;
};
bool OpenPty(Pty* pty, std::string* error);
void ClosePty(Pty* pty);

// "ED 01 09 60 6A": bytes for log lines.
std::string Hex(const Bytes& bytes);

}  // namespace simulator
