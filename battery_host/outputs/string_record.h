#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "string_device/battery32_data.h"

namespace outputs {

// The device's 152-byte record as the host receives, stores and restores it, as values. The
// layout is the device's own (string_device/battery32_data.h): these functions read and write it
// through that one definition, so the host's outputs cannot drift from what the device stores.
struct StringRecord {
  static constexpr std::size_t kSize = record::kSize;
  static constexpr int kCells = record::kCells;

  std::uint32_t id = 0;
  std::array<float, kCells> cells{};
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  std::uint8_t reserved = 0;
  float temperature = 0.0f;
  std::array<std::uint8_t, record::kStampSize> stamp{};  // year LE16, month, day, h, min, s
};

using RecordBytes = std::array<unsigned char, StringRecord::kSize>;

// Decodes exactly kSize bytes.
StringRecord DecodeStringRecord(const unsigned char* bytes);
// The record's bytes for the values: DecodeStringRecord(EncodeStringRecord(r).data()) == r, bit
// for bit.
RecordBytes EncodeStringRecord(const StringRecord& values);

// Whether the host stamped a date: a stamp of zeros is its "no date" (a time that was none).
bool StampHasDate(const std::array<std::uint8_t, record::kStampSize>& stamp);
// "2026-12-08 14:03:59" (the controller's local time); a stamp without a date reads "----------".
std::string StampText(const std::array<std::uint8_t, record::kStampSize>& stamp);

}  // namespace outputs
