#pragma once

// Decoding of the module's cell-voltage reply (67 bytes: ED, address, 32 big-endian readings,
// checksum). Readings are fixed point: millivolts for 6 V blocks, centivolts otherwise.
namespace cell_frame {

struct Decoding {
  int battery_type = 0;  // 6: 6 V blocks
  float adjust = 0.0f;   // added to every cell
  float t0 = 0.0f;       // added to the first reading
  float t31 = 0.0f;      // added to the last decoded reading
  int dir = 0;           // non-zero: the module counts the cells from the other end
};

// Decodes readings 0 to n-1 of the frame at `frame` into cells[0..n-1], single precision, one
// rounding per operation. A value outside the plausibility window (both bounds inclusive) is
// stored as 0.0, and so is a NaN.
void DecodeCells(const unsigned char* frame, int n, const Decoding& d, float* cells);

}  // namespace cell_frame
