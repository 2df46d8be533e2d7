#pragma once

#include <cstddef>
#include <iostream>
#include <string>

// Diagnostics are whole lines on standard output, flushed at once so that a line is never split
// between two devices writing from different host threads.
inline void WriteDiagLine(const std::string& line) {
  std::cout << (line + '\n') << std::flush;
}

// The same for a line already formatted in a buffer, its newline included: nothing is built on
// the heap, which matters for the one line that every poll round writes.
inline void WriteDiagText(const char* text, std::size_t len) {
  std::cout.write(text, static_cast<std::streamsize>(len));
  std::cout.flush();
}
