#pragma once

// How often a device wants its history kept: "save_interval" in its settings (minutes), read the
// way the device reads it, so that the history follows the device.

#include <json/value.h>

// Seconds; the device's 8 hours when the key is missing, 0 or less, or beyond an int of seconds.
int SaveIntervalSeconds(const Json::Value& settings);
