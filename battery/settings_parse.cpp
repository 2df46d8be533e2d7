#include "battery/settings_parse.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace settings_parse {

int ParseInt(const std::string& text) {
  const long long v = std::strtoll(text.c_str(), nullptr, 10);  // saturates at the long long range
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

double ParseDouble(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

int DoubleToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0) return INT_MAX;
  if (v <= -2147483649.0) return INT_MIN;
  return static_cast<int>(v);
}

float DoubleToFloat(double v) {
  // Halfway between the largest float and 2^128: from here on, round-to-nearest gives infinity.
  constexpr double kOverflow = 0x1.ffffffp+127;
  if (v >= kOverflow) return std::numeric_limits<float>::infinity();
  if (v <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

}  // namespace settings_parse
