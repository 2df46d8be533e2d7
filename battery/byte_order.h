#pragma once

#include <cstdint>
#include <cstring>

// Explicit byte order for wire values (big-endian) and stored records (little-endian). Nothing
// here casts a byte pointer to a wider type: records put floats at odd offsets.
namespace byte_order {

inline std::uint16_t ReadBe16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void WriteLe32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

inline float ReadLeFloat(const unsigned char* p) {
  const std::uint32_t bits = ReadLe32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

inline void WriteLeFloat(unsigned char* p, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  WriteLe32(p, bits);
}

}  // namespace byte_order
