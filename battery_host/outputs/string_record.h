#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The device's 152-byte record as the host receives, stores and restores it. Little-endian,
// packed: the temperature sits at the odd offset 141, so fields are read byte by byte.
struct StringRecord {
  static constexpr std::size_t kSize = 152;

  std::uint32_t id = 0;
  std::array<float, 32> cells{};
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  std::uint8_t reserved = 0;
  float temperature = 0.0f;
  std::array<std::uint8_t, 7> stamp{};  // year LE16, month, day, hour, minute, second
};

// Decodes exactly kSize bytes.
StringRecord DecodeStringRecord(const unsigned char* bytes);

// "2026-12-08 14:03:59"; a stamp of zeros (no date) reads "----------".
std::string StampText(const std::array<std::uint8_t, 7>& stamp);
