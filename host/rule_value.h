#pragma once

#include <string>

#include "host/api.h"

// One threshold evaluation queued by CheckThreshold and consumed by DoBatchCheckThreshold.
// Devices never read it; only the host's alarm engine does.
struct XQR_API rule_value {
  std::string key;    // signal key, e.g. "battery_3_value"
  std::string label;  // readable name shown with an alarm
  float value = 0.0f;
  int index = 0;
  int level = 0;       // threshold level configured for the key (0: none)
  float limit = 0.0f;  // the limit crossed; otherwise the configured (upper) limit
  bool alarm = false;  // value outside its limits, for a key that has any
};
