#pragma once

#include <cstddef>
#include <cstdint>

#include "battery/byte_order.h"

// The battery string record, exactly as the host sends, stores and hands back. 152 bytes, packed,
// little-endian, IEEE single-precision floats; the temperature sits at the odd offset 141.
// Every field is kept as bytes and read or written through the helpers below.
struct __attribute__((packed)) Battery32_Data_t {
  std::uint8_t id[4];              // the device's data id
  std::uint8_t cells[32][4];       // cell voltages in volts
  std::uint8_t group_voltage[4];   // volts
  std::uint8_t group_current[4];   // amperes
  std::uint8_t reserved;           // always 0
  std::uint8_t temperature[4];     // degrees Celsius
  std::uint8_t time_stamp[7];      // host's time stamp of the round
};

static_assert(sizeof(Battery32_Data_t) == 152, "record is 152 bytes");
static_assert(offsetof(Battery32_Data_t, id) == 0, "id at 0");
static_assert(offsetof(Battery32_Data_t, cells) == 4, "cells at 4");
static_assert(offsetof(Battery32_Data_t, group_voltage) == 132, "group voltage at 132");
static_assert(offsetof(Battery32_Data_t, group_current) == 136, "group current at 136");
static_assert(offsetof(Battery32_Data_t, reserved) == 140, "reserved at 140");
static_assert(offsetof(Battery32_Data_t, temperature) == 141, "temperature at 141");
static_assert(offsetof(Battery32_Data_t, time_stamp) == 145, "time stamp at 145");

namespace record {

inline std::uint32_t Id(const Battery32_Data_t& r) { return byte_order::ReadLe32(r.id); }
inline float Cell(const Battery32_Data_t& r, int i) { return byte_order::ReadLeFloat(r.cells[i]); }
inline float GroupVoltage(const Battery32_Data_t& r) {
  return byte_order::ReadLeFloat(r.group_voltage);
}
inline float GroupCurrent(const Battery32_Data_t& r) {
  return byte_order::ReadLeFloat(r.group_current);
}
inline float Temperature(const Battery32_Data_t& r) {
  return byte_order::ReadLeFloat(r.temperature);
}

}  // namespace record
