#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "battery/link_settings.h"

namespace config {

// What a device's settings say about values it takes from other devices of the controller, as
// the device itself reads them (battery/link_settings.h), so that the host checks at start
// exactly the peer ids the device will ask the controller for:
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

DevicePeers PeersOf(const link_settings::Values& link);

// The device's link settings read as a new device reads them. A value the device itself cannot
// read (an array where a number belongs) ends the reading there: the device refuses such
// settings when it reads them.
link_settings::Values ReadLinkSettings(const Json::Value& settings);

// PeersOf(ReadLinkSettings(settings)).
DevicePeers ReadDevicePeers(const Json::Value& settings);

}  // namespace config
