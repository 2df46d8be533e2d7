#include "battery_host/outputs/float_text.h"

#include <charconv>

namespace outputs {

std::string FloatText(float value) {
  char buf[32];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

}  // namespace outputs
