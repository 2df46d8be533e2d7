#pragma once

#include <cstddef>
#include <cstdint>

#include "battery/byte_order.h"

namespace record {

// Where each field of the record sits. The host's outputs and the device read and write the
// record through these names only.
constexpr std::size_t kSize = 152;
constexpr std::size_t kIdAt = 0;
constexpr std::size_t kCellsAt = 4;
constexpr int kCells = 32;
constexpr std::size_t kGroupVoltageAt = 132;
constexpr std::size_t kGroupCurrentAt = 136;
constexpr std::size_t kReservedAt = 140;
constexpr std::size_t kTemperatureAt = 141;
constexpr std::size_t kStampAt = 145;
constexpr std::size_t kStampSize = 7;

}  // namespace record

// The battery string record, exactly as the host sends, stores and hands back. 152 bytes, packed,
// little-endian, IEEE single-precision floats; the temperature sits at the odd offset 141.
// Every field is kept as bytes and read or written through the helpers below.
struct __attribute__((packed)) Battery32_Data_t {
  std::uint8_t id[4];             // the device's data id
  std::uint8_t cells[32][4];      // cell voltages in volts
  std::uint8_t group_voltage[4];  // volts
  std::uint8_t group_current[4];  // amperes
  std::uint8_t reserved;          // always 0
  std::uint8_t temperature[4];    // degrees Celsius
  std::uint8_t time_stamp[7];     // host's time stamp of the round
};

static_assert(sizeof(Battery32_Data_t) == record::kSize, "record is 152 bytes");
static_assert(offsetof(Battery32_Data_t, id) == record::kIdAt, "id at 0");
static_assert(offsetof(Battery32_Data_t, cells) == record::kCellsAt, "cells at 4");
static_assert(sizeof(Battery32_Data_t::cells) == 4 * record::kCells, "32 cells");
static_assert(offsetof(Battery32_Data_t, group_voltage) == record::kGroupVoltageAt,
              "group voltage at 132");
static_assert(offsetof(Battery32_Data_t, group_current) == record::kGroupCurrentAt,
              "group current at 136");
static_assert(offsetof(Battery32_Data_t, reserved) == record::kReservedAt, "reserved at 140");
static_assert(offsetof(Battery32_Data_t, temperature) == record::kTemperatureAt,
              "temperature at 141");
static_assert(offsetof(Battery32_Data_t, time_stamp) == record::kStampAt, "time stamp at 145");
static_assert(sizeof(Battery32_Data_t::time_stamp) == record::kStampSize, "7-byte stamp");

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
