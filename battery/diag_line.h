#pragma once

#include <iostream>
#include <string>

// Diagnostics are whole lines on standard output, flushed at once so that a line is never split
// between two devices writing from different host threads.
inline void WriteDiagLine(const std::string& line) {
  std::cout << (line + '\n') << std::flush;
}
