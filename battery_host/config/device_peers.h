#pragma once

#include <string>
#include <vector>

#include <json/value.h>

// What a device's settings say about values it takes from other devices of the controller, read
// the way the device itself reads its "appSetting" (text form, then atoi/atol), so that the host
// checks at start exactly the peer ids the device will ask the controller for:
//   "group_voltage": [ids]   their group voltages are added to the device's own
//   "r_data_id", "r_current_field"   the current comes from that device's named value, unless
//                                    "current_ratio" selects the module's current sensor
// Also the label numbering ("group_index" 2, "battery_start"), for the outputs to show.
struct DevicePeers {
  std::vector<unsigned int> group_voltage;  // in list order, without duplicates
  unsigned int current_peer = 0;            // 0: the module's own current
  std::string current_field;
  int battery_start = 0;
};

// Elements or keys that the device itself cannot read (an array where a number belongs) are
// skipped here: the device refuses such settings when it reads them.
DevicePeers ReadDevicePeers(const Json::Value& settings);
