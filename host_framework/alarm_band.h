#pragma once

#include "host/api.h"

namespace host_framework {

// A host-side alarm limit for one signal: the value alarms while it is below `low` or above
// `high`. Either side may be absent. The host's operator configures these per signal key; the
// device never sees them, it only asks for the evaluation through CheckThreshold.
struct XQR_API AlarmBand {
  bool has_low = false;
  float low = 0.0f;
  bool has_high = false;
  float high = 0.0f;
  // Rounds in a row a value must be outside its limits before the alarm is raised, and inside
  // them again before it clears: one damaged reply then pages nobody. 1: at once.
  int delay = 1;
  // The window in which the device accepts a reading (its cells). A value outside it is no
  // reading (the device stores 0.0 for it) but a block that collapsed or rose out of range: it
  // alarms whatever the limits say.
  bool has_window = false;
  float window_low = 0.0f;
  float window_high = 0.0f;

  // -1 below low, +1 above high, 0 inside (a NaN is inside: no comparison holds for it).
  // Outside the window (a NaN too: it is no reading).
  bool OutOfWindow(float value) const {
    return has_window && !(value >= window_low && value <= window_high);
  }

  int Side(float value) const {
    if (has_low && value < low) return -1;
    if (has_high && value > high) return 1;
    return 0;
  }
};

}  // namespace host_framework
