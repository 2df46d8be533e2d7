#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Diagnostics are whole lines on standard output, flushed at once so that a line is never split
// between two devices writing from different host threads.
//
// A line is put together piece by piece and written in one go:
//   DiagLine().Text("here ").Text(key).Write();
// The pieces are appended by out-of-line functions, so that each diagnostic costs the library a
// few calls instead of a chain of temporary strings.
class DiagLine {
 public:
  DiagLine& Text(std::string_view text);
  DiagLine& Int(long long value);  // plain decimal, "-" when negative
  DiagLine& Unsigned(unsigned long long value);
  // As a stream writes a float by default: six significant digits, no trailing zeros (1.8, 2.25,
  // 0), with "." as the decimal point whatever locale the host process set.
  DiagLine& Float(float value);
  // The line and its newline, one write, then a flush.
  void Write();

 private:
  std::string line_;
};

// The same for a line already formatted in a buffer, its newline included: nothing is built on
// the heap, which matters for the one line that every poll round writes.
void WriteDiagText(const char* text, std::size_t len);
