#include "battery_host/outputs/string_record.h"

#include <cstdio>

#include "battery/byte_order.h"

StringRecord DecodeStringRecord(const unsigned char* bytes) {
  StringRecord r;
  r.id = byte_order::ReadLe32(bytes);
  for (std::size_t i = 0; i < r.cells.size(); ++i) {
    r.cells[i] = byte_order::ReadLeFloat(bytes + 4 + 4 * i);
  }
  r.group_voltage = byte_order::ReadLeFloat(bytes + 132);
  r.group_current = byte_order::ReadLeFloat(bytes + 136);
  r.reserved = bytes[140];
  r.temperature = byte_order::ReadLeFloat(bytes + 141);
  for (std::size_t i = 0; i < r.stamp.size(); ++i) r.stamp[i] = bytes[145 + i];
  return r;
}

std::string StampText(const std::array<std::uint8_t, 7>& s) {
  const unsigned year = s[0] | (s[1] << 8);
  if (year == 0) return "----------";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", year, s[2], s[3], s[4], s[5],
                s[6]);
  return buf;
}
