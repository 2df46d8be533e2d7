#pragma once

#include <map>
#include <string>

#include <json/value.h>

#include "host/alarm_band.h"

// The device's settings file: one JSON object, handed to the device's InitSetting as it is (with
// its "appSetting" and "thresholdSetting" members). Beside them the host reads its own member:
//
//   "hostThresholds": {                 alarm limits the host evaluates, per signal key
//     "group_voltage": {"low": 240, "high": 290},
//     "temperature":   {"high": 40},
//     "*cells*":       {"low": 12.0, "high": 14.4},   default for every battery_<i>_value
//     "battery_3_value": {"low": 12.5, "level": 2}    a cell of its own overrides the default
//   }
//
// "low" and "high" are numbers (either may be left out); "level" is the alarm level shown to the
// device (default 1).

// Reads and parses the file. On failure returns false with one line: the path and the parser's
// first message with its line and column.
bool LoadSettingsFile(const std::string& path, Json::Value* settings, std::string* error);

struct HostLimit {
  AlarmBand band;
  int level = 1;
};

// Parses "hostThresholds" (absent or null: no limits) and expands "*cells*" to the keys
// battery_0_value to battery_<cells-1>_value that have no entry of their own.
bool ParseHostThresholds(const Json::Value& settings, int cells,
                         std::map<std::string, HostLimit>* limits, std::string* error);

// The example settings shipped with the sources.
std::string DefaultSettingsPath();
