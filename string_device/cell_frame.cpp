#include "string_device/cell_frame.h"

#include "battery/byte_order.h"
#include "battery/frame.h"

namespace cell_frame {

void DecodeCells(const unsigned char* frame, int n, const Decoding& d, float* cells) {
  const bool six_volt = d.battery_type == 6;
  const float low = six_volt ? 4.5f : 9.0f;
  const float high = six_volt ? 7.5f : 15.0f;
  for (int i = 0; i < n; ++i) {
    const unsigned char* reading = frame + frame::kCellReadings + 2 * i;
    const float raw = static_cast<float>(byte_order::ReadBe16(reading));
    const int s = d.dir != 0 ? n - 1 - i : i;
    float v = six_volt ? raw / 1000.0f : raw / 100.0f;
    v = v + d.adjust;
    // The offsets belong to the reading position on the module, before any reversal.
    if (i == 0) v = v + d.t0;
    if (i == n - 1) v = v + d.t31;
    // A cell outside its window is a broken sense lead, not a voltage; a NaN (NaN offsets in the
    // settings) must never reach the record or the alarms either.
    if (!(v >= low && v <= high)) v = 0.0f;
    cells[s] = v;
  }
}

}  // namespace cell_frame
