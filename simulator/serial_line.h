#pragma once

// The battery-monitoring module's serial line: 19200 baud, 8 data bits, no parity, one stop bit,
// no flow control, raw bytes. Both ends of a test bench (the simulated module and a host program)
// set their port up the same way.

#include <string>

namespace simulator {

// Puts an open terminal fd in raw 19200 8N1 mode without flow control; a read waits for at
// least one byte. Returns false and describes the failure in *error (when given).
bool ConfigureRaw19200(int fd, std::string* error);

// Opens a serial device read/write (not as controlling terminal, close-on-exec) and configures
// it as above. Returns the fd, or -1 with *error saying which step failed and why.
int OpenRaw19200(const std::string& path, std::string* error);

}  // namespace simulator
