#pragma once

#include <map>
#include <string>

#include <json/value.h>

#include "battery_host/config/json_file.h"
#include "host_framework/alarm_band.h"

namespace config {

// The host's own alarm limits for a device, beside the device's settings:
//
//   "hostThresholds": {                 alarm limits the host evaluates, per signal key
//     "group_voltage": {"low": 240, "high": 290},
//     "temperature":   {"high": 40},
//     "*cells*":       {"low": 12.0, "high": 14.4},   default for every battery_<i>_value
//     "battery_3_value": {"low": 12.5, "level": 2}    a cell of its own overrides the default
//   }
//
// "low" and "high" are numbers within the single-precision range (either may be left out);
// "level" is the alarm level shown to the device, a whole number 1 to 2147483647 (default 1);
// "delay" the rounds in a row a limit must be crossed before the alarm is raised, and met again
// before it clears, a whole number 1 to 2147483647 (default 1: at once).
struct HostLimit {
  host_framework::AlarmBand band;
  int level = 1;
};

// Parses a "hostThresholds" object (null: no limits) and expands "*cells*" to the keys
// battery_0_value to battery_<cells-1>_value that have no entry of their own. Every key must be
// "*cells*" or a signal key of a device of `cells` cells; another is refused with the closest.
// Errors are one line from doc.Error(): file, line and column of the offending value.
bool ParseHostThresholds(const Json::Value& thresholds, const JsonDocument& doc, int cells,
                         std::map<std::string, HostLimit>* limits, std::string* error);

}  // namespace config
