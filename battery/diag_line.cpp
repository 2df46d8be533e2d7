#include "battery/diag_line.h"

#include <charconv>
#include <iostream>

DiagLine& DiagLine::Text(std::string_view text) {
  line_.append(text.data(), text.size());
  return *this;
}

DiagLine& DiagLine::Int(long long value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  line_.append(digits, result.ptr);
  return *this;
}

DiagLine& DiagLine::Unsigned(unsigned long long value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  line_.append(digits, result.ptr);
  return *this;
}

DiagLine& DiagLine::Float(float value) {
  // to_chars with a precision is printf's %.6g in the "C" locale, which is what a stream in the
  // classic locale writes for a float (widened to double, exactly) by default.
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
  line_.append(text, result.ptr);
  return *this;
}

void DiagLine::Write() {
  line_.push_back('\n');
  WriteDiagText(line_.data(), line_.size());
}

void WriteDiagText(const char* text, std::size_t len) {
  std::cout.write(text, static_cast<std::streamsize>(len));
  std::cout.flush();
}
