#pragma once

#include "host/api.h"

// A host-side alarm limit for one signal: the value alarms while it is below `low` or above
// `high`. Either side may be absent. The host's operator configures these per signal key; the
// device never sees them, it only asks for the evaluation through CheckThreshold.
struct XQR_API AlarmBand {
  bool has_low = false;
  float low = 0.0f;
  bool has_high = false;
  float high = 0.0f;

  // -1 below low, +1 above high, 0 inside (a NaN is inside: no comparison holds for it).
  int Side(float value) const {
    if (has_low && value < low) return -1;
    if (has_high && value > high) return 1;
    return 0;
  }
};
