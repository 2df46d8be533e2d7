#include "battery_host/outputs/string_record.h"

#include <cstdio>
#include <cstring>

#include "battery/byte_order.h"

namespace outputs {

StringRecord DecodeStringRecord(const unsigned char* bytes) {
  Battery32_Data_t raw;
  std::memcpy(&raw, bytes, sizeof raw);
  StringRecord r;
  r.id = record::Id(raw);
  for (int i = 0; i < StringRecord::kCells; ++i) r.cells[i] = record::Cell(raw, i);
  r.group_voltage = record::GroupVoltage(raw);
  r.group_current = record::GroupCurrent(raw);
  r.reserved = raw.reserved;
  r.temperature = record::Temperature(raw);
  std::memcpy(r.stamp.data(), raw.time_stamp, r.stamp.size());
  return r;
}

RecordBytes EncodeStringRecord(const StringRecord& r) {
  Battery32_Data_t raw;
  byte_order::WriteLe32(raw.id, r.id);
  for (int i = 0; i < StringRecord::kCells; ++i) byte_order::WriteLeFloat(raw.cells[i], r.cells[i]);
  byte_order::WriteLeFloat(raw.group_voltage, r.group_voltage);
  byte_order::WriteLeFloat(raw.group_current, r.group_current);
  raw.reserved = r.reserved;
  byte_order::WriteLeFloat(raw.temperature, r.temperature);
  std::memcpy(raw.time_stamp, r.stamp.data(), r.stamp.size());
  RecordBytes out;
  std::memcpy(out.data(), &raw, out.size());
  return out;
}

bool StampHasDate(const std::array<std::uint8_t, record::kStampSize>& s) {
  return (s[0] | (s[1] << 8)) != 0;
}

std::string StampText(const std::array<std::uint8_t, record::kStampSize>& s) {
  if (!StampHasDate(s)) return "----------";
  const unsigned year = s[0] | (s[1] << 8);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", year, s[2], s[3], s[4], s[5],
                s[6]);
  return buf;
}

}  // namespace outputs
